// The support layer of the package's extension modules, in one include.
#pragma once

#include <nanobind/nanobind.h>

#include "corvane/native/arguments.h"
#include "corvane/native/assertions.h"
#include "corvane/native/class_builder.h"
#include "corvane/native/context.h"
#include "corvane/native/errors.h"
#include "corvane/native/logging.h"
#include "corvane/native/python.h"
#include "corvane/native/tree_walk.h"
#include "corvane/native/typing.h"

