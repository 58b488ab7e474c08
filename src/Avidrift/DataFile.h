#pragma once

#include <string>

namespace Avidrift {

// Where one of the program's read-only files (the mesh, a shader) is, given its path relative
// to a data directory: the working directory first, as a source checkout or a directory the
// user prepared has them; then the installed data directory, share/avidrift beside the bin/
// that holds the executable, for a program started from a desktop menu in the user's home. A
// file in neither place is named as given, so that opening it fails as it always did and the
// user reads the usual message. Called on any thread.
std::wstring FindDataFile(const std::wstring& relativePath);

}  // namespace Avidrift
