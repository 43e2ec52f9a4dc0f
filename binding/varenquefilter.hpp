#pragma once
// The filter that keeps every shot and every echo.

#include "shotfilter.hpp"

namespace mpc {

class varenquefilter : public shotfilter {
public:
    bool shotToKeep(scanlib::pointcloud* cloud) override;
    bool echoToKeep(scanlib::target& echo) override;
};

} // namespace mpc
