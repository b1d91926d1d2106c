#include "archive/ZipReader.h"
