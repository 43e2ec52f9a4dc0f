// Fields of widths 33..64 at every offset 0..95 against the bitwise reference.
#include "binary_reference.hpp"

TEST(BinaryField, Widths33To64AtEveryOffsetMatchBitwiseReference) {
    binary_test::check_widths<33>(std::make_integer_sequence<unsigned, 32>{});
}
