"""Python client of the Travanto engine: process wrapper, range text, bet sizes to lines,
spot files and the HTML strategy report."""

from .engine import (Engine, EngineError, EngineDied, EngineTimeout, Results, SolverReport,
                     SolverStopped, default_engine_path)
from .ranges import HandOrder, Range, RangeError, format_range, parse_range

__all__ = ['Engine', 'EngineError', 'EngineDied', 'EngineTimeout', 'Results', 'SolverReport',
           'SolverStopped', 'default_engine_path', 'HandOrder', 'Range', 'RangeError',
           'format_range', 'parse_range']
