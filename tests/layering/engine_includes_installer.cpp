// Built against the engine library's include roots, this must not compile: the
// engine lies below the installer layer and cannot see its headers.
#include "installer/installer_database.h"
