"""Range text to and from the 1,326 weights of the engine's hand order.

Notation, items separated by commas: pairs "AA", "QQ+", "99-66"; suited, offsuit or both
"AKs", "AKo", "AK"; kicker runs "A2s+", "A5s-A2s"; gapped runs "T9s-65s"; connectors upward
"T9s+" (T9s, JTs, QJs, KQs, AKs: on adjacent ranks a "+" raises both); single combos
"AhKh"; a weight after a colon, "KQo:0.5". Later items override earlier ones. The order of the
hands is the one the engine prints with show_hand_order (a HandOrder), never a fixed table.
"""

from __future__ import annotations

import math
from typing import Iterable, Sequence

RANKS = '23456789TJQKA'
SUITS = 'cdhs'


class RangeError(ValueError):
    """A range item that does not parse; the message names the item."""


def card_code(text: str) -> tuple[int, int]:
    """(rank, suit) of a card text such as "Qs" (either case)."""
    if len(text) != 2 or text[0].upper() not in RANKS or text[1].lower() not in SUITS:
        raise ValueError(f'not a card: {text!r}')
    return RANKS.index(text[0].upper()), SUITS.index(text[1].lower())


def card_text(card: tuple[int, int]) -> str:
    return RANKS[card[0]] + SUITS[card[1]]


def parse_board(text: str) -> list[tuple[int, int]]:
    """Board cards from "Td 9d 6h", "Td9d6h" or "Td,9d,6h": three to five distinct cards."""
    compact = ''.join(ch for ch in text if not ch.isspace() and ch != ',')
    if len(compact) % 2:
        raise ValueError(f'board {text!r}: cards are two characters each')
    cards = []
    for i in range(0, len(compact), 2):
        try:
            cards.append(card_code(compact[i:i + 2]))
        except ValueError:
            raise ValueError(f'board {text!r}: {compact[i:i + 2]!r} is not a card') from None
    if not 3 <= len(cards) <= 5:
        raise ValueError(f'board {text!r}: needs 3 to 5 cards, has {len(cards)}')
    if len(set(cards)) != len(cards):
        raise ValueError(f'board {text!r}: a card appears twice')
    return cards


class HandOrder:
    """The engine's list of the 1,326 hands ("2d2c", ...), with the lookups a range needs."""

    def __init__(self, names: Sequence[str]):
        if len(names) != 1326:
            raise ValueError(f'a hand order has 1326 hands, this one {len(names)}')
        self.names = list(names)
        self.cards: list[tuple[tuple[int, int], tuple[int, int]]] = []
        self.position: dict[frozenset, int] = {}
        for p, name in enumerate(self.names):
            try:
                a, b = card_code(name[:2]), card_code(name[2:])
            except ValueError:
                raise ValueError(f'hand order entry {p} {name!r} is not a hand') from None
            key = frozenset((a, b))
            if len(name) != 4 or a == b or key in self.position:
                raise ValueError(f'hand order entry {p} {name!r} is repeated or not a hand')
            self.position[key] = p
            # higher rank first; within a pair the engine's name order
            self.cards.append((a, b) if a[0] >= b[0] else (b, a))
        # cell of the 13x13 grid and class name ("AKs", "AKo", "AA") per position
        self.cls: list[str] = []
        for (a, b) in self.cards:
            self.cls.append(class_name(a, b))
        self.by_class: dict[str, list[int]] = {}
        for p, c in enumerate(self.cls):
            self.by_class.setdefault(c, []).append(p)

    def index(self, a: tuple[int, int], b: tuple[int, int]) -> int:
        return self.position[frozenset((a, b))]

    def touches(self, p: int, board: Iterable[tuple[int, int]]) -> bool:
        return any(card in board for card in self.cards[p])

    def text(self, weights: Sequence[float]) -> str:
        """The weights as the number tokens of set_range."""
        return ' '.join(format_number(w) for w in weights)


def class_name(a: tuple[int, int], b: tuple[int, int]) -> str:
    hi, lo = (a, b) if a[0] >= b[0] else (b, a)
    if hi[0] == lo[0]:
        return RANKS[hi[0]] * 2
    return RANKS[hi[0]] + RANKS[lo[0]] + ('s' if hi[1] == lo[1] else 'o')


def format_number(w: float) -> str:
    """Shortest text that reads back as the same double ("1", "0.5", "0.333...")."""
    if w == int(w) and abs(w) < 1e15:
        return str(int(w))
    return repr(float(w))


# ---------------------------------------------------------------------------------------------
# Parsing

def _rank(ch: str, item: str) -> int:
    r = RANKS.find(ch.upper())
    if r < 0:
        raise RangeError(f'range item {item!r}: {ch!r} is not a rank (23456789TJQKA)')
    return r


def _cells(body: str, item: str) -> list[tuple[int, int, str]]:
    """(high rank, low rank, kind) cells of one item without weight; kind '' means both
    suited and offsuit, 'p' a pair."""
    def one(token: str) -> tuple[int, int, str]:
        if len(token) not in (2, 3):
            raise RangeError(f'range item {item!r}: {token!r} is not a hand class '
                             '(like AA, AKs, AKo, AK)')
        r1, r2 = _rank(token[0], item), _rank(token[1], item)
        kind = token[2].lower() if len(token) == 3 else ''
        if kind not in ('', 's', 'o'):
            raise RangeError(f'range item {item!r}: {token[2]!r} must be s or o')
        if r1 == r2:
            if kind:
                raise RangeError(f'range item {item!r}: a pair is neither suited nor offsuit')
            return (r1, r1, 'p')
        if r1 < r2:
            r1, r2 = r2, r1
        return (r1, r2, kind)

    if body.endswith('+'):
        hi, lo, kind = one(body[:-1])
        if kind == 'p':
            return [(r, r, 'p') for r in range(hi, 13)]
        if hi - lo == 1:                           # T9s+: both ranks rise, up to AKs
            return [(h, h - 1, kind) for h in range(hi, 13)]
        return [(hi, k, kind) for k in range(lo, hi)]
    if '-' in body:
        left, _, right = body.partition('-')
        a, b = one(left), one(right)
        if a[2] != b[2]:
            raise RangeError(f'range item {item!r}: both ends must be of one kind')
        if a[2] == 'p':
            lo, hi = sorted((a[0], b[0]))
            return [(r, r, 'p') for r in range(lo, hi + 1)]
        if a[0] == b[0]:                           # A5s-A2s: one high card, kickers between
            lo, hi = sorted((a[1], b[1]))
            return [(a[0], k, a[2]) for k in range(lo, hi + 1)]
        if a[0] - a[1] == b[0] - b[1]:             # T9s-65s: one gap, both cards move
            gap = a[0] - a[1]
            lo, hi = sorted((a[0], b[0]))
            return [(h, h - gap, a[2]) for h in range(lo, hi + 1)]
        raise RangeError(f'range item {item!r}: the ends of a run share the high card '
                         '(A5s-A2s) or the gap (T9s-65s)')
    return [one(body)]


def _positions(order: HandOrder, cell: tuple[int, int, str]) -> list[int]:
    hi, lo, kind = cell
    out = []
    for s1 in range(4):
        for s2 in range(4):
            if kind == 'p':
                if s1 >= s2:
                    continue
            elif kind == 's' and s1 != s2 or kind == 'o' and s1 == s2:
                continue
            out.append(order.index((hi, s1), (lo, s2)))
    return out


def parse_range(text: str, order: HandOrder) -> list[float]:
    """Range text to 1,326 weights in `order`."""
    weights = [0.0] * 1326
    for raw in text.replace('\n', ',').split(','):
        item = raw.strip()
        if not item:
            continue
        body, sep, wtext = item.partition(':')
        body = body.strip()
        weight = 1.0
        if sep:
            try:
                weight = float(wtext)
            except ValueError:
                raise RangeError(f'range item {item!r}: weight {wtext.strip()!r} '
                                 'is not a number') from None
            if not 0.0 <= weight <= 1.0 or math.isnan(weight):
                raise RangeError(f'range item {item!r}: weight must lie in 0..1')
        if not body or ' ' in body:
            raise RangeError(f'range item {item!r}: items are separated by commas')
        if len(body) == 4 and body[1].lower() in SUITS and body[3].lower() in SUITS:
            try:
                a, b = card_code(body[:2]), card_code(body[2:])
            except ValueError:
                raise RangeError(f'range item {item!r}: not a combo like AhKh') from None
            if a == b:
                raise RangeError(f'range item {item!r}: a combo needs two different cards')
            weights[order.index(a, b)] = weight
            continue
        for cell in _cells(body, item):
            for p in _positions(order, cell):
                weights[p] = weight
    return weights


# ---------------------------------------------------------------------------------------------
# Printing

def _runs(values: list[int]) -> list[tuple[int, int]]:
    values = sorted(values)
    runs, start = [], None
    for i, v in enumerate(values):
        if start is None:
            start = v
        if i + 1 == len(values) or values[i + 1] != v + 1:
            runs.append((start, v))
            start = None
    return runs


def _cell_items(cells: set[tuple[int, int]], kind: str) -> list[tuple[int, str]]:
    """Items covering the non-pair cells (high, low) of one kind and weight: a greedy cover
    by kicker runs (one high card) and gapped runs (one gap). Returns (sort key, text)."""
    candidates = []
    for hi in {h for h, _ in cells}:
        for a, b in _runs([lo for h, lo in cells if h == hi]):
            members = frozenset((hi, k) for k in range(a, b + 1))
            if b == hi - 1 and a != b:
                text = f'{RANKS[hi]}{RANKS[a]}{kind}+'
            elif a == b:
                text = f'{RANKS[hi]}{RANKS[a]}{kind}'
            else:
                text = f'{RANKS[hi]}{RANKS[b]}{kind}-{RANKS[hi]}{RANKS[a]}{kind}'
            candidates.append((members, text, hi))
    for gap in {h - lo for h, lo in cells}:
        for a, b in _runs([h for h, lo in cells if h - lo == gap]):
            if a == b:
                continue
            members = frozenset((h, h - gap) for h in range(a, b + 1))
            text = (f'{RANKS[b]}{RANKS[b - gap]}{kind}-{RANKS[a]}{RANKS[a - gap]}{kind}')
            candidates.append((members, text, b))
    left, chosen = set(cells), []
    while left:
        best = max(candidates, key=lambda c: (len(c[0] & left), -len(c[1]), c[2]))
        chosen.append(best)
        left -= best[0]
    return [(hi, text) for _, text, hi in chosen]


def format_range(weights: Sequence[float], order: HandOrder) -> str:
    """The shortest notation this module finds for the weights: whole classes as runs,
    split classes as their suited and offsuit halves, the rest as single combos."""
    if len(weights) != 1326:
        raise ValueError(f'a range has 1326 weights, not {len(weights)}')
    for w in weights:
        if not 0.0 <= w <= 1.0:
            raise ValueError(f'weight {w!r} outside 0..1')
    groups: dict[float, dict[str, set]] = {}

    def put(w: float, kind: str, cell) -> None:
        if w > 0:
            groups.setdefault(w, {'p': set(), '': set(), 's': set(), 'o': set(), 'x': set()})
            groups[w][kind].add(cell)

    for r1 in range(13):
        for r2 in range(r1 + 1):
            if r1 == r2:
                ps = order.by_class[RANKS[r1] * 2]
                ws = {weights[p] for p in ps}
                if len(ws) == 1:
                    put(ws.pop(), 'p', r1)
                else:
                    for p in ps:
                        put(weights[p], 'x', p)
                continue
            name = RANKS[r1] + RANKS[r2]
            s, o = order.by_class[name + 's'], order.by_class[name + 'o']
            ws, wo = {weights[p] for p in s}, {weights[p] for p in o}
            if len(ws) == 1 and ws == wo:
                put(ws.pop(), '', (r1, r2))
                continue
            for half, wset, kind in ((s, ws, 's'), (o, wo, 'o')):
                if len(wset) == 1:
                    put(wset.pop(), kind, (r1, r2))
                else:
                    for p in half:
                        put(weights[p], 'x', p)
    items = []
    for w in sorted(groups, reverse=True):
        g = groups[w]
        suffix = '' if w == 1.0 else ':' + format_number(w)
        texts = []
        for a, b in sorted(_runs(list(g['p'])), reverse=True):
            if b == 12 and a != b:
                texts.append(f'{RANKS[a] * 2}+')
            elif a == b:
                texts.append(RANKS[a] * 2)
            else:
                texts.append(f'{RANKS[b] * 2}-{RANKS[a] * 2}')
        for kind in ('', 's', 'o'):
            texts += [t for _, t in sorted(_cell_items(g[kind], kind), key=lambda x: -x[0])]
        texts += [order.names[p] for p in sorted(g['x'], key=lambda p: order.names[p])]
        items += [t + suffix for t in texts]
    return ','.join(items)


class Range:
    """A player's weights in the engine's hand order."""

    def __init__(self, weights: Sequence[float], order: HandOrder):
        if len(weights) != 1326:
            raise ValueError(f'a range has 1326 weights, not {len(weights)}')
        self.weights = list(weights)
        self.order = order

    @classmethod
    def parse(cls, text: str, order: HandOrder) -> 'Range':
        return cls(parse_range(text, order), order)

    def __str__(self) -> str:
        return format_range(self.weights, self.order)

    def combos(self, board: Iterable[tuple[int, int]] = ()) -> float:
        """Sum of the weights, hands touching the board left out."""
        board = set(board)
        return sum(w for p, w in enumerate(self.weights)
                   if w and not self.order.touches(p, board))

    def command(self, player: str) -> str:
        return f'set_range {player} {self.order.text(self.weights)}'
