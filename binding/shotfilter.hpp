#pragma once
// Decides which shots and echoes a serializer keeps.

namespace scanlib {
class pointcloud;
struct target;
} // namespace scanlib

namespace mpc {

class shotfilter {
public:
    virtual ~shotfilter();
    virtual bool shotToKeep(scanlib::pointcloud* cloud) = 0;
    virtual bool echoToKeep(scanlib::target& echo) = 0;
};

} // namespace mpc
