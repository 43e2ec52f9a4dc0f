// Fields of widths 1..32 at every offset 0..95 against the bitwise reference.
#include "binary_reference.hpp"

TEST(BinaryField, Widths1To32AtEveryOffsetMatchBitwiseReference) {
    binary_test::check_widths<1>(std::make_integer_sequence<unsigned, 32>{});
}
