#pragma once

// The simulated-sensor fixture lives beside the library fixture.
#include "integration/LibraryFixture.h"
