#pragma once
// The fixed order in which per-hand lists cross the protocol, and its two conversion tables.
// Cards are ordered rank first, then suit c, d, h, s; hands by higher card, then lower card,
// each written higher card first ("2d2c 2h2c ... AsAh").
#include <array>
#include <cstdint>
#include <string>

#include "cards/cards.h"

const std::string& hand_order_text();  // 1,326 names, single blanks, 6,629 characters
void build_hand_order_tables();        // start-up: fills the two tables (process-wide, read-only after)

// order_to_hand[position] = hand index; hand_to_order[hand index] = position.
extern std::array<std::uint16_t, kHands> order_to_hand;
extern std::array<std::uint16_t, kHands> hand_to_order;
