// Everything module code includes: object handles, function and class descriptions, module bodies.
#pragma once

#include "zemvara/function.hpp"
#include "zemvara/module.hpp"
#include "zemvara/object.hpp"
