"""Bet sizes to betting lines.

A tree description gives, per street and player, bet sizes in % of the pot, raise sizes as a
multiple of the facing bet ("2.5x") or in % of the pot after calling ("100%"), when all-in is
offered, a raise cap per street, and whether OOP may lead a later street into the player who
made the last bet or raise of the street before. `build` expands it into a tree of actions,
`lines` into the engine's add_line lines: each player's cumulative chips per action, folds left
to the engine (it adds the call and fold answers to every bet itself).

Amounts are whole chips. A bet or raise that would leave less than `allin_left` of the acting
player's stack behind becomes all-in; a raise below the minimum raise is lifted to it; sizes that
come to the same amount are one action.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Any, Iterator

STREETS = ('flop', 'turn', 'river')
PLAYERS = ('oop', 'ip')
FOLD = -1


class TreeError(ValueError):
    """A tree description that cannot be used; the message names the key."""


@dataclasses.dataclass(frozen=True)
class Raise:
    kind: str      # 'x': multiple of the facing bet on this street; '%': % of the pot after calling;
    size: float    # 'c': chips (a bet of that many, a raise by that many); 'e': geometric bet

    def __str__(self) -> str:
        return 'e' if self.kind == 'e' else f'{self.size:g}{"%" if self.kind == "%" else self.kind}'


@dataclasses.dataclass
class PlayerSizes:
    bet: list[float] = dataclasses.field(default_factory=list)        # % of the pot
    raise_: list[Raise] = dataclasses.field(default_factory=list)
    allin: bool | float = False   # True always, False never, x: when it adds at most x pots
    lead: bool | list[float] = False   # OOP on later streets: no lead, its bet sizes, or these


@dataclasses.dataclass
class TreePlan:
    pot: int
    stack: int                       # each player's chips behind at the root
    start_street: int = 1            # 1 flop, 2 turn, 3 river
    sizes: dict[tuple[int, int], PlayerSizes] = dataclasses.field(default_factory=dict)
    raise_cap: dict[int, int] = dataclasses.field(default_factory=dict)   # raises per street
    allin_left: float = 0.0

    def player_sizes(self, street: int, player: int) -> PlayerSizes:
        return self.sizes.get((street, player), PlayerSizes())

    def cap(self, street: int) -> int:
        return self.raise_cap.get(street, 3)


@dataclasses.dataclass
class Node:
    """A node of the generated tree: a decision of `player`, or a terminal (`player` None).
    `street` is counted from the tree's first street; the child of a street-ending check or
    call is one street further (also when the hand ends there), a fold stays on its street."""
    street: int
    player: int | None
    invested: tuple[int, int]
    action: str = ''                 # 'check', 'call', 'fold', 'bet', 'raise', 'allin'
    amount: int = 0                  # the acting player's cumulative chips; FOLD for a fold
    children: list['Node'] = dataclasses.field(default_factory=list)

    def walk(self) -> Iterator['Node']:
        yield self
        for child in self.children:
            yield from child.walk()


# ---------------------------------------------------------------------------------------------
# Description to plan

def _number(value: Any, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TreeError(f'{where}: {value!r} is not a number')
    if not math.isfinite(value) or value <= 0:
        raise TreeError(f'{where}: {value!r} must be above 0')
    return float(value)


def parse_bet(value: Any, where: str) -> float | Raise | str:
    """A bet size: 33, 33.0 or "33%" (% of the pot); "150c" (chips); "e" (the geometric size:
    the same share of the pot on this and every later street puts the stack in); "allin"."""
    if isinstance(value, str):
        text = value.strip().lower()
        if text in ('allin', 'all-in'):
            return 'allin'
        if text == 'e':
            return Raise('e', 1.0)
        if text.endswith('c'):
            try:
                return Raise('c', _number(float(text[:-1]), where))
            except ValueError:
                pass
        if text.endswith('%'):
            try:
                return _number(float(text[:-1]), where)
            except ValueError:
                pass
        raise TreeError(f'{where}: {value!r} is not a bet size (like 33, "75%", "150c", "e" or '
                        '"allin")')
    return _number(value, where)


def parse_raise(value: Any, where: str) -> Raise | str:
    """A raise size: "2.5x" (times the facing bet), 100 or "100%" (% of the pot after
    calling); "allin"."""
    if isinstance(value, str):
        text = value.strip().lower()
        if text in ('allin', 'all-in'):
            return 'allin'
        for suffix, kind in (('x', 'x'), ('%', '%'), ('c', 'c')):
            if text.endswith(suffix):
                try:
                    size = _number(float(text[:-1]), where)
                except ValueError:
                    break
                if kind == 'x' and size <= 1:
                    raise TreeError(f'{where}: a raise of {value!r} is not above the bet')
                return Raise(kind, size)
        raise TreeError(f'{where}: {value!r} is not a raise size (like "2.5x", "100%", "200c" '
                        'or "allin")')
    return Raise('%', _number(value, where))


def _list(value: Any, where: str) -> list:
    if isinstance(value, list):
        return value
    return [value]


_TREE_KEYS = {'bet', 'raise', 'allin', 'raise_cap', 'lead', 'allin_left'}
_STREET_KEYS = {'bet', 'raise', 'allin', 'raise_cap', 'lead'}
_PLAYER_KEYS = {'bet', 'raise', 'allin', 'lead'}


def plan_from_config(config: dict, pot: int, stack: int, start_street: int = 1) -> TreePlan:
    """A tree description (the [tree] table of a spot file) to a TreePlan. Keys at the tree
    level apply to every street, keys of [tree.turn] to that street, keys of [tree.turn.ip] to
    that player there; the nearest one wins."""
    if not isinstance(pot, int) or isinstance(pot, bool) or pot <= 0:
        raise TreeError(f'pot: {pot!r} must be a whole number of chips above 0')
    if not isinstance(stack, int) or isinstance(stack, bool) or stack <= 0:
        raise TreeError(f'stack: {stack!r} must be a whole number of chips above 0')
    if start_street not in (1, 2, 3):
        raise TreeError(f'start street {start_street!r} must be 1, 2 or 3')
    config = dict(config or {})

    def check_keys(table: dict, allowed: set, children: tuple, where: str) -> None:
        if not isinstance(table, dict):
            raise TreeError(f'{where}: expected a table, got {table!r}')
        for key in table:
            if key not in allowed and key not in children:
                raise TreeError(f'{where}: unknown key {key!r} (known: '
                                f'{", ".join(sorted(allowed | set(children)))})')

    check_keys(config, _TREE_KEYS, STREETS, 'tree')
    allin_left = config.get('allin_left', 0.0)
    if isinstance(allin_left, bool) or not isinstance(allin_left, (int, float)) \
            or not 0 <= allin_left < 1:
        raise TreeError(f'tree.allin_left: {allin_left!r} must be a fraction in 0..1')
    plan = TreePlan(pot=pot, stack=stack, start_street=start_street,
                    allin_left=float(allin_left))
    for s, street_name in enumerate(STREETS, start=1):
        street_table = config.get(street_name, {})
        check_keys(street_table, _STREET_KEYS, PLAYERS, f'tree.{street_name}')
        cap = street_table.get('raise_cap', config.get('raise_cap', 3))
        if isinstance(cap, bool) or not isinstance(cap, int) or cap < 0:
            raise TreeError(f'tree.{street_name}.raise_cap: {cap!r} must be a whole number '
                            '0 or more')
        plan.raise_cap[s] = cap
        for p, player_name in enumerate(PLAYERS):
            table = street_table.get(player_name, {})
            where = f'tree.{street_name}.{player_name}'
            check_keys(table, _PLAYER_KEYS, (), where)
            if p == 1 and 'lead' in table:
                raise TreeError(f'{where}.lead: only OOP leads')

            def pick(key: str, default):
                for t, w in ((table, where), (street_table, f'tree.{street_name}'),
                             (config, 'tree')):
                    if key in t:
                        return t[key], f'{w}.{key}'
                return default, f'{where}.{key}'

            sizes = PlayerSizes()
            value, w = pick('allin', False)
            if isinstance(value, bool):
                sizes.allin = value
            else:
                sizes.allin = _number(value, w)
            value, w = pick('bet', [])
            for item in _list(value, w):
                size = parse_bet(item, w)
                if size == 'allin':
                    sizes.allin = True
                else:
                    sizes.bet.append(size)
            value, w = pick('raise', [])
            for item in _list(value, w):
                size = parse_raise(item, w)
                if size == 'allin':
                    sizes.allin = True
                else:
                    sizes.raise_.append(size)
            value, w = pick('lead', False)
            if isinstance(value, bool):
                sizes.lead = value
            else:
                lead = []
                for item in _list(value, w):
                    size = parse_bet(item, w)
                    if size == 'allin':
                        raise TreeError(f'{w}: give leads as sizes; all-in follows "allin"')
                    lead.append(size)
                sizes.lead = lead
            plan.sizes[(s, p)] = sizes
    return plan


# ---------------------------------------------------------------------------------------------
# Plan to tree

def _round(x: float) -> int:
    return int(math.floor(x + 0.5))


@dataclasses.dataclass
class _State:
    street: int               # from the tree's first street
    player: int
    invested: list[int]
    bets: int                 # bets and raises on this street
    checked: bool
    street_start: int         # both players' investment when the street began
    increment: int            # the last bet's or raise's size over the level it raised
    last_aggressor: int | None   # who bet or raised last on this street
    previous_aggressor: int | None


def _targets(plan: TreePlan, st: _State) -> list[tuple[str, int]]:
    """The bets or raises open to the player to act: (action, cumulative amount)."""
    p = st.player
    inv, other = st.invested[p], st.invested[1 - p]
    abs_street = plan.start_street + st.street
    sizes = plan.player_sizes(abs_street, p)
    stack = plan.stack
    if other >= stack or inv >= stack:
        return []
    facing = other > inv
    raw: list[float] = []
    if facing:
        if st.bets - 1 >= plan.cap(abs_street):
            return []
        bet_on_street = other - st.street_start
        for r in sizes.raise_:
            if r.kind == 'x':
                raw.append(st.street_start + r.size * bet_on_street)
            elif r.kind == 'c':
                raw.append(other + r.size)
            else:
                raw.append(other + r.size / 100.0 * (plan.pot + 2 * other))
        minimum = other + max(st.increment, 1)
    else:
        bets = sizes.bet
        if p == 0 and st.street > 0 and st.previous_aggressor == 1:
            bets = [] if sizes.lead is False else (sizes.bet if sizes.lead is True
                                                  else sizes.lead)
        pot_now = plan.pot + inv + other
        streets_left = 4 - abs_street
        for b in bets:
            if not isinstance(b, Raise):
                raw.append(inv + b / 100.0 * pot_now)
            elif b.kind == 'c':
                raw.append(inv + b.size)
            else:   # the same share f of the pot on each street left ends all-in
                share = ((1 + 2 * (stack - inv) / pot_now) ** (1 / streets_left) - 1) / 2
                raw.append(inv + share * pot_now)
        minimum = inv + 1
    amounts = set()
    for x in raw:
        amount = max(_round(x), minimum)
        if amount >= stack or stack - amount < plan.allin_left * (stack - inv):
            amount = stack
        amounts.add(amount)
    allin = sizes.allin
    if allin is True or (allin is not False and
                         stack - inv <= allin * (plan.pot + 2 * other)):
        if not (p == 0 and st.street > 0 and st.previous_aggressor == 1 and not facing
                and sizes.lead is False):
            amounts.add(stack)
    word = 'raise' if facing else 'bet'
    return [('allin' if a == stack else word, a) for a in sorted(amounts)]


def build(plan: TreePlan) -> Node:
    """The tree of actions of `plan`; the root is OOP's first decision."""
    root_state = _State(street=0, player=0, invested=[0, 0], bets=0, checked=False,
                        street_start=0, increment=0, last_aggressor=None,
                        previous_aggressor=None)
    root = Node(street=0, player=0, invested=(0, 0))
    _expand(plan, root, root_state)
    return root


def _next_street(plan: TreePlan, node: Node, st: _State, action: str, amount: int) -> None:
    """The child of a check behind or a call: the next street's first decision, or a showdown
    when the river is over or both players are all-in."""
    level = max(st.invested)
    child = Node(street=st.street + 1, player=None, invested=(level, level), action=action,
                 amount=amount)
    node.children.append(child)
    if plan.start_street + st.street >= 3 or level >= plan.stack:
        return
    child.player = 0
    _expand(plan, child, _State(street=st.street + 1, player=0, invested=[level, level],
                                bets=0, checked=False, street_start=level, increment=0,
                                last_aggressor=None, previous_aggressor=st.last_aggressor))


def _expand(plan: TreePlan, node: Node, st: _State) -> None:
    p = st.player
    inv, other = st.invested[p], st.invested[1 - p]
    if other > inv:
        node.children.append(Node(street=st.street, player=None,
                                  invested=tuple(st.invested), action='fold', amount=FOLD))
        called = st.invested.copy()
        called[p] = other
        _next_street(plan, node, dataclasses.replace(st, invested=called), 'call', other)
    elif st.checked:
        _next_street(plan, node, st, 'check', inv)
    else:
        child = Node(street=st.street, player=1, invested=tuple(st.invested), action='check',
                     amount=inv)
        node.children.append(child)
        _expand(plan, child, dataclasses.replace(st, player=1, checked=True))
    for action, amount in _targets(plan, st):
        invested = st.invested.copy()
        invested[p] = amount
        child = Node(street=st.street, player=1 - p, invested=tuple(invested), action=action,
                     amount=amount)
        node.children.append(child)
        _expand(plan, child, dataclasses.replace(
            st, player=1 - p, invested=invested, bets=st.bets + 1, checked=False,
            increment=amount - max(other, inv) if other > inv else amount - inv,
            last_aggressor=p))


def lines(tree: Node | TreePlan) -> list[list[int]]:
    """The add_line lines of a tree: one per hand-ending path that is not a fold."""
    root = build(tree) if isinstance(tree, TreePlan) else tree
    out: list[list[int]] = []

    def walk(node: Node, path: list[int]) -> None:
        if not node.children:
            if node.amount != FOLD:
                out.append(path)
            return
        for child in node.children:
            if child.amount != FOLD:
                walk(child, path + [child.amount])

    walk(root, [])
    return out


def line_commands(tree: Node | TreePlan) -> list[str]:
    return ['add_line ' + ' '.join(str(a) for a in line) for line in lines(tree)]


# ---------------------------------------------------------------------------------------------
# Counts the engine's node_count reports for the tree

STREET_WEIGHT = {1: 1, 2: 49, 3: 2352}


def node_count(root: Node, start_street: int) -> dict[str, Any]:
    """What node_count prints for the lines of this tree: decisions of IP ("H_DEC") and OOP
    ("V_DEC"), chance nodes ("SPLIT") and terminals ("END"), in total and per street, each node
    weighted by the card combinations that reach its street as on a flop board."""
    counts = {group: {'total': 0, 1: 0, 2: 0, 3: 0} for group in ('H_DEC', 'V_DEC', 'SPLIT',
                                                                  'END')}
    total = 0

    def add(group: str, street: int) -> None:
        nonlocal total
        w = STREET_WEIGHT[street]
        counts[group]['total'] += w
        counts[group][street] += w
        total += w

    for node in root.walk():
        s = start_street + node.street
        if node.children:
            add('V_DEC' if node.player == 0 else 'H_DEC', s)
        for child in node.children:
            if child.street > node.street:
                add('SPLIT', s)
            if not child.children:
                add('END', s)
    counts['TOTAL'] = total + 1
    return counts


def parse_node_count(lines: list[str]) -> dict[str, Any]:
    """The engine's node_count answer (END removed) in the form of `node_count`."""
    counts: dict[str, Any] = {}
    group = None
    for line in lines:
        name, _, value = line.replace(':', ' ').partition(' ')
        value = value.strip()
        if name in STREETS or name in ('FLOP', 'TURN', 'RIVER'):
            if group in counts:
                counts[group][('FLOP', 'TURN', 'RIVER').index(name) + 1] = int(value)
        elif name == 'TOTAL':
            counts['TOTAL'] = int(value)
        elif name == 'ROOT':
            group = None
        else:
            group = name
            counts[name] = {'total': int(value)}
    return counts


def plan_warnings(config: dict, plan: TreePlan) -> list[str]:
    """What a tree description asks for that the spot will not do: sections of streets before
    the spot's first street, and sizes that all come to all-in because the stack is short."""
    out = []
    for s, name in enumerate(STREETS, start=1):
        if s < plan.start_street and name in (config or {}):
            out.append(f'tree.{name}: this spot starts on the {STREETS[plan.start_street - 1]}; '
                       f'the {name} section is ignored')
    sized = any(sizes.bet or sizes.raise_ or isinstance(sizes.lead, list)
                for (s, _), sizes in plan.sizes.items() if s >= plan.start_street)
    actions = {node.action for node in build(plan).walk()}
    if sized and not actions & {'bet', 'raise'}:
        out.append(f'stack: {plan.stack} behind a pot of {plan.pot} is so short that every bet '
                   'and raise size comes to all-in')
    return out
