// Traceback records: the frame a failing function adds to the pending
// exception's traceback, so that a printed traceback shows the statement of
// the module's Python listing that failed.
#pragma once

namespace movra {

// The listing file that every record and every code object names.
inline constexpr char kSourceFile[] = "Movra.py";

// Adds one record to the pending exception's traceback. `where` is the
// traceback name ("Movra.drawMain", "Movra", "init Movra"); `native_file` and
// `native_line` locate the failure site in the native sources (line 0 leaves
// them out of the name); `line` is the statement's line in the listing.
// Never fails: if the record cannot be built, none is added.
void add_traceback(const char* where, const char* native_file, int native_line, int line);

}  // namespace movra
