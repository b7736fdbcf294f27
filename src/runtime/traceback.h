// Traceback entries for failures in compiled code.
#pragma once

#include "runtime/context.h"

namespace runtime {

/// Adds an entry for `function` at `line` of `path` in front of the current
/// exception's traceback.  Call it with the failure's exception set.  If the
/// entry's code object or frame cannot be made, the exception of that failure
/// replaces the caller's and no entry is added.
///
/// Code objects are cached per (function, line); a line of 0 is never cached.
void add_traceback(const Context &ctx, const char *function, int line, const char *path) noexcept;

}  // namespace runtime
