// The shared runtime layer: include this one header.
#pragma once

#include "api.hpp"
#include "coro.hpp"
#include "error.hpp"
#include "function.hpp"
#include "module.hpp"
#include "ref.hpp"
