// Everything a C++ user of the engine library needs.
#pragma once

#include "korvane/address.hpp"
#include "korvane/config.hpp"
#include "korvane/engine.hpp"
#include "korvane/types.hpp"
