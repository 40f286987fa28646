#include "QtTestApp.h"
