#include "varenquefilter.hpp"

namespace mpc {

namespace {
bool keep() { return true; }
} // namespace

bool varenquefilter::shotToKeep(scanlib::pointcloud*) { return keep(); }
bool varenquefilter::echoToKeep(scanlib::target&) { return keep(); }

} // namespace mpc
