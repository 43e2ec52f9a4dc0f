#include "shotfilter.hpp"

namespace mpc {

shotfilter::~shotfilter() = default;

} // namespace mpc
