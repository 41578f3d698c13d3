// Everything a native module of the package uses.
#pragma once
#include "bridge.hpp"
#include "classes.hpp"
#include "core.hpp"
#include "env.hpp"
#include "function.hpp"
#include "log.hpp"
#include "module.hpp"
#include "record.hpp"
