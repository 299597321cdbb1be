"""Flop sets: the 1,755 flops that differ under suit isomorphism with their weights, textures,
weighted samples, and the sets a user names on the command line.

A board is a tuple of (rank, suit) cards as travanto.ranges reads them. Two flops are the same
class when a permutation of the four suits maps one onto the other; a class's weight is the
number of the 22,100 flops it stands for. Turn and river boards (the flop plus ordered cards)
follow the same rule, so a list may hold them too (small batches, tests, demos).
"""

from __future__ import annotations

import dataclasses
import functools
import itertools
import math
import os

from ..ranges import RANKS, SUITS, parse_board

FLOPS = 22100                               # C(52, 3)
_PERMS = list(itertools.permutations(range(4)))
_SUIT_PREFERENCE = (3, 2, 1, 0)             # canonical texts use s, h, d, c in that order


class FlopSetError(ValueError):
    """A flop set that cannot be used; the message says why."""


def board_text(board) -> str:
    """Compact text, such as "Td9d6h"."""
    return ''.join(RANKS[r] + SUITS[s] for r, s in board)


def _key(board) -> tuple:
    flop = sorted(board[:3], key=lambda c: (-c[0], c[1]))
    return tuple(flop) + tuple(board[3:])


def canonical(board) -> tuple:
    """The class representative: the least of the board's 24 suit relabellings (flop cards
    sorted high to low; later cards keep their places), suits named s, h, d, c first."""
    best = None
    for perm in _PERMS:
        image = _key([(r, perm[s]) for r, s in board])
        if best is None or image < best:
            best = image
    return tuple((r, _SUIT_PREFERENCE[s]) for r, s in best)


def class_weight(board) -> int:
    """How many boards the class stands for: the distinct images under the 24 relabellings."""
    return len({_key([(r, perm[s]) for r, s in board]) for perm in _PERMS})


@functools.lru_cache(maxsize=1)
def all_flops() -> list[tuple[tuple, int]]:
    """The 1,755 classes with their weights, highest flops first."""
    seen = {}
    cards = [(r, s) for r in range(13) for s in range(4)]
    for flop in itertools.combinations(cards, 3):
        c = canonical(flop)
        if c not in seen:
            seen[c] = class_weight(c)
    return tuple(sorted(seen.items(), key=lambda kv: tuple((-r, s) for r, s in kv[0])))


# ---------------------------------------------------------------------------------------------
# Textures

SUIT_CLASSES = ('rainbow', 'two-tone', 'monotone')
PAIR_CLASSES = ('unpaired', 'paired', 'trips')
CONNECT_CLASSES = ('connected', 'gapped', 'disconnected')
HIGH_BUCKETS = ('A', 'K', 'Q', 'J', 'T', '9-7', '6-2')
TEXTURE_CLASSES = ('rainbow', 'two-tone', 'monotone', 'paired', 'trips')


def _connect(ranks: set[int]) -> str:
    """connected: every distinct rank fits one straight; gapped: two of them do; else
    disconnected (the ace also counts low)."""
    values = set(ranks) | ({-1} if 12 in ranks else set())
    best = 0
    for low in range(-1, 9):
        window = {v for v in values if low <= v <= low + 4}
        best = max(best, len({12 if v == -1 else v for v in window}))
    if best == len(ranks) and best > 1:
        return 'connected'
    return 'gapped' if best >= 2 else 'disconnected'


@functools.lru_cache(maxsize=None)
def texture(board) -> dict:
    """The flop's texture features: suits, pairing, high card, connectedness and the texture
    class of the report's chart (unpaired flops by suits, else paired or trips)."""
    flop = board[:3]
    suits = len({s for _, s in flop})
    ranks = {r for r, _ in flop}
    pairing = PAIR_CLASSES[3 - len(ranks)]
    suit_class = {3: 'rainbow', 2: 'two-tone', 1: 'monotone'}[suits]
    high = max(ranks)
    bucket = RANKS[high] if high >= 8 else ('9-7' if high >= 5 else '6-2')
    return {'suits': suit_class, 'pairing': pairing, 'high': RANKS[high], 'high_bucket': bucket,
            'connect': _connect(ranks),
            'class': suit_class if pairing == 'unpaired' else pairing}


FEATURES = (('suits', SUIT_CLASSES), ('pairing', PAIR_CLASSES), ('high_bucket', HIGH_BUCKETS),
            ('connect', CONNECT_CLASSES))


def shares(items, feature: str) -> dict[str, float]:
    """Weighted share of each value of a texture feature over (board, weight) items."""
    total = sum(w for _, w in items)
    out: dict[str, float] = {}
    for board, w in items:
        v = texture(board)[feature]
        out[v] = out.get(v, 0.0) + w / total
    return out


def closeness(items) -> tuple[float, list[tuple[str, str, float, float]]]:
    """How far the weighted textures of `items` lie from all flops: the largest difference of
    a share in percentage points, and (feature, value, share here, share over all) rows."""
    full = all_flops()
    rows, worst = [], 0.0
    for feature, values in FEATURES:
        mine, ref = shares(items, feature), shares(full, feature)
        for v in values:
            a, b = 100 * mine.get(v, 0.0), 100 * ref.get(v, 0.0)
            rows.append((feature, v, a, b))
            worst = max(worst, abs(a - b))
    return worst, rows


def sample(n: int) -> list[tuple[tuple, int | float]]:
    """N classes whose weighted textures stay close to all flops: systematic sampling with
    probability proportional to weight along the flops ordered by texture, then raking (the
    weights scaled per feature value in turn until every feature's shares match those of all
    flops). The weights sum to 22,100."""
    full = all_flops()
    if not 1 <= n <= len(full):
        raise FlopSetError(f'sample:{n}: N must lie in 1..{len(full)}')
    if n == len(full):
        return [(b, float(w)) for b, w in full]
    order = sorted(full, key=lambda kv: (tuple(texture(kv[0])[f] for f, _ in FEATURES), kv[0]))
    step = FLOPS / n
    picks, acc, k = [], 0.0, 0
    for board, w in order:
        acc += w
        while k < n and (k + 0.5) * step < acc:     # at most one pick per class
            if not picks or picks[-1][0] != board:
                picks.append([board, float(w)])
            k += 1
    # fill up the rare duplicates with the heaviest classes not yet chosen
    chosen = {b for b, _ in picks}
    for board, w in sorted(full, key=lambda kv: -kv[1]):
        if len(picks) >= n:
            break
        if board not in chosen:
            picks.append([board, float(w)])
            chosen.add(board)
    targets = {f: shares(full, f) for f, _ in FEATURES}
    tex = [texture(b) for b, _ in picks]
    for _ in range(50):
        for feature, _ in FEATURES:
            sums: dict[str, float] = {}
            for t, p in zip(tex, picks):
                sums[t[feature]] = sums.get(t[feature], 0.0) + p[1]
            total = sum(sums.values())
            for t, p in zip(tex, picks):
                have = sums[t[feature]] / total
                p[1] *= targets[feature].get(t[feature], 0.0) / have
    total = sum(w for _, w in picks)
    return sorted(((b, round(w * FLOPS / total, 6)) for b, w in picks),
                  key=lambda kv: tuple((-r, s) for r, s in kv[0]))


# ---------------------------------------------------------------------------------------------
# Flop sets named on the command line

@dataclasses.dataclass
class FlopSet:
    boards: list[tuple]            # in batch order
    weights: dict[str, float]      # by board text
    name: str
    closeness: float | None = None  # sample:N only, percentage points
    textures: list = dataclasses.field(default_factory=list)   # sample:N: closeness() rows


def _parse_item(text: str, where: str) -> tuple:
    try:
        board = parse_board(text)
    except ValueError as e:
        raise FlopSetError(f'{where}: {e}') from None
    return tuple(board)


def _from_items(items: list[tuple[str, float | None]], name: str) -> FlopSet:
    boards, weights, seen = [], {}, {}
    for where, text, weight in items:
        board = _parse_item(text, where)
        c = canonical(board)
        if c in seen:
            raise FlopSetError(f'{where}: {board_text(board)} is the same as {seen[c]} up to '
                               'suits; give each board once')
        seen[c] = board_text(board)
        boards.append(board)
        weights[board_text(board)] = float(class_weight(board) if weight is None else weight)
    if not boards:
        raise FlopSetError(f'{name}: no boards')
    return FlopSet(boards, weights, name)


def parse_flop_set(text: str) -> FlopSet:
    """ "all", "sample:N", a file of boards (one per line, an optional weight after it, #
    comments), or a comma-separated list such as "Td9d6h,Ks7d2c"."""
    text = text.strip()
    if text == 'all':
        full = all_flops()
        return FlopSet([b for b, _ in full], {board_text(b): float(w) for b, w in full}, 'all')
    if text.startswith('sample:'):
        try:
            n = int(text[len('sample:'):])
        except ValueError:
            raise FlopSetError(f'{text}: N must be a whole number') from None
        picks = sample(n)
        return FlopSet([b for b, _ in picks], {board_text(b): w for b, w in picks}, text,
                       *closeness(picks))
    if os.path.isfile(text):
        items = []
        try:
            with open(text, encoding='utf-8') as f:
                lines = f.read().splitlines()
        except (OSError, UnicodeDecodeError) as e:
            raise FlopSetError(f'{text}: cannot read ({e})') from None
        for i, line in enumerate(lines, 1):
            fields = line.split('#', 1)[0].replace(',', ' ').split()
            if not fields:
                continue
            where = f'{text}:{i}'
            weight = None
            if len(fields) > 1 and not any(ch in SUITS for ch in fields[-1].lower()):
                try:
                    weight = float(fields.pop())
                except ValueError:
                    raise FlopSetError(f'{where}: {line.strip()!r}: a board, then an '
                                       'optional weight') from None
                if not math.isfinite(weight) or weight <= 0:
                    raise FlopSetError(f'{where}: the weight must be a positive number')
            items.append((where, ''.join(fields), weight))
        return _from_items(items, text)
    if '/' in text or '.' in text:
        raise FlopSetError(f'{text}: no such file (--flops takes "all", "sample:N", a file '
                           'or a list of boards)')
    name = text if len(text) <= 60 else text[:57] + '...'
    return _from_items([(f'--flops item {i}', item.strip(), None)
                        for i, item in enumerate(text.split(','), 1) if item.strip()], name)
