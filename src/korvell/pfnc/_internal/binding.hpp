// binding.hpp -- the shared binding toolkit of korvell.pfnc's compiled
// modules, one header per concern; a module includes this one.
#pragma once

#include "capi.hpp"      // owned results, checked calls, truth, interned names, kept references
#include "text.hpp"      // str <-> UTF-8 text
#include "digits.hpp"    // ASCII digit runs <-> exact ints
#include "errors.hpp"    // exact-type parameters, raising errors
#include "module.hpp"    // module attributes read at call time (and what may be cached)
#include "logging.hpp"   // the module logger's records
#include "abstract.hpp"  // abstract bases, enumerations
#include "records.hpp"   // record classes: instances, GC, repr, frozen, pickling, factories
#include "registry.hpp"  // the layout of Registry and its compiled subclasses
#include "buffer.hpp"    // buffer arguments held for a call
