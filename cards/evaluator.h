#pragma once
// Hand strength evaluator: three to seven cards to one 32-bit strength value.
void init_hand_tables();
