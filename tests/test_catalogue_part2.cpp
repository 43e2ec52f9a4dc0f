#include "catalogue_checks.hpp"

SCANLIB_CATALOGUE_VIEW_TESTS(2)
