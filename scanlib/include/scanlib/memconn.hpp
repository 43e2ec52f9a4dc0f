#pragma once
#include <cstddef>
#include <vector>

#include <scanlib/connection.hpp>

namespace scanlib {

// Appends everything written to the caller's vector, which must outlive the
// connection; what the vector held before stays in front.
class mem_wconnection : public basic_wconnection {
public:
    explicit mem_wconnection(std::vector<char>& target);
    ~mem_wconnection() override;

    std::size_t write(const void* data, std::size_t n) override;

private:
    std::vector<char>& target_;
};

} // namespace scanlib
