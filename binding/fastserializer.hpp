#pragma once
// Writers of finished shots. The host pulls shots through the queue of
// mypointcloud, so the one writer the binding builds writes nothing.

#include <iosfwd>

namespace scanlib {
class pointcloud;
}

namespace mpc {

class shotfilter;

class serializer {
public:
    virtual ~serializer();
    virtual void write(scanlib::pointcloud* cloud) = 0;
};

class FastSerializer : public serializer {
public:
    FastSerializer(std::ostream& out, shotfilter& filter) : out(out), filter(filter) {}
    void write(scanlib::pointcloud* cloud) override;

protected:
    std::ostream& out;
    shotfilter& filter;
};

} // namespace mpc
