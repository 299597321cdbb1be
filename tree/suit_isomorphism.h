#pragma once
// Suit canonicalization: boards that differ only by a renaming of suits are solved once.
// The canonical suits of a board are 0..k-1 for the k suits it shows (in the order the
// canonicalization fixes), the absent suits following in ascending real order.
#include <array>
#include <cstdint>
#include <vector>

#include "cards/cards.h"

// new_suit[real suit]
using SuitMapping = std::array<std::uint8_t, 4>;

constexpr SuitMapping kIdentitySuits{0, 1, 2, 3};

// From the flop and an optional turn and river card mask (0 when absent).
SuitMapping canonical_suits(CardMask flop, CardMask turn, CardMask river);

int map_card(int card, const SuitMapping& m);
CardMask map_mask(CardMask mask, const SuitMapping& m);
int map_hand(int hand, const SuitMapping& m);
// range'[map(h)] = range[h].
std::vector<double> map_range(const std::vector<double>& range, const SuitMapping& m);

// The hand with suits a and b exchanged.
int swap_suits_in_hand(int hand, int a, int b);

// True when every range is unchanged by exchanging any two suits that the board does not show:
// only then may boards that differ by such exchanges be merged.
bool ranges_symmetric(CardMask board, const std::vector<const std::vector<double>*>& ranges);

// Orders hands of equal strength on a river board so that hands differing only by an exchange
// of suits absent from the board sit together with equal keys.
std::uint32_t isomorphism_key(int hand, CardMask board);
