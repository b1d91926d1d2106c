#pragma once
// Whether something registered belongs to one installation: the uninstaller removes only the
// entry and the links that point into its own folder, since another installation of the product
// (in another folder) rewrites the same entry and links.

#include <string>

// True when `path` lies below `folder`. Both are compared whole (".." and "/" resolved) and, where
// they exist, in their long form, without regard to case; a quoted path counts up to its closing
// quote, so a command line with arguments is judged by its program.
bool PathLiesInFolder(const std::wstring& path, const std::wstring& folder);
