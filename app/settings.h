#pragma once
// Moved to core/; kept for the fuzz targets, which include it under its old name.
#include "core/settings.h"
