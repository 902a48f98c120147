// The script is all in its header; the writer's build lists this file.
#include "crash/CWriteScript.h"
