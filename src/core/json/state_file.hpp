// Whole-file reading and writing of state texts.
#pragma once

#include <string>
#include <string_view>

#include "core/error.hpp"

namespace tarn::core::json {

// Replaces the file at `path` with `text` without ever leaving a partial file
// behind: the text goes to a new temporary file in the same directory, is
// flushed to disk, and only then renamed over the target. On any failure the
// previous file is untouched, the temporary file is removed, and the result
// is an Io error with the system's description. A new file gets the
// permission bits 0666 less the process's file-creation mask; an existing
// file keeps its permission bits. A path that is a symbolic link to an
// existing file replaces that file (as writing through the link would).
Status write_file_replacing(const std::string& path, std::string_view text);

// The whole file as raw bytes, or an Io error.
Result<std::string> read_file(const std::string& path);

} // namespace tarn::core::json
