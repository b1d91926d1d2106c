#include "tasks/TaskBase.h"
