#include "cards/game.h"

GameDescription& game() {
  static GameDescription description;
  return description;
}
