"""Batch solving of one spot on many flops with Dask (travanto-batch). Dask is imported only
when a batch runs, so the rest of the client works without it."""
