#include "cards/evaluator.h"

void init_hand_tables() {}
