#include "fastserializer.hpp"

namespace mpc {

serializer::~serializer() = default;

void FastSerializer::write(scanlib::pointcloud*) {}

} // namespace mpc
