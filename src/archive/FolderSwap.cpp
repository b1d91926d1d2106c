#include "archive/FolderSwap.h"

void UndoSwapInProgress() noexcept {
    // No swap is under way in this process yet.
}
