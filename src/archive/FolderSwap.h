#pragma once
// Replacing the product's folder by a new version extracted beside it: the earlier installation
// stays whole until two renames put the new one in its place.

// For the unhandled-exception path: puts back the earlier installation when this process is
// between the two renames, so a fault never leaves the install folder without a whole version.
// Allocates nothing and takes no lock; safe on any thread, called at most once.
void UndoSwapInProgress() noexcept;
