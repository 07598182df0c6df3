// Zeroed tables: refused impossible sizes, and mapped tables that read as
// zero, start aligned and can be written to their last byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "base/zeroed_table.h"

namespace zelk {
namespace {

TEST(ZeroedTable, ImpossibleSizeThrowsBadAlloc) {
    volatile std::size_t huge = SIZE_MAX / 4;  // kept from the compiler's size check
    EXPECT_THROW(ZeroedTable<uint64_t>{huge}, std::bad_alloc);
    // Sizes whose byte counts fit but leave no room for rounding and alignment.
    for (std::size_t size : {SIZE_MAX / 8, SIZE_MAX / 8 - 100, SIZE_MAX / 16}) {
        volatile std::size_t s = size;
        EXPECT_THROW(ZeroedTable<uint64_t>{s}, std::bad_alloc) << size;
    }
}

TEST(ZeroedTable, MappedTablesAreZeroAlignedAndWritableToTheirLastByte) {
    const std::size_t size = (std::size_t{3} << 20) + 5;  // not a whole number of pages
    for (Pages pages : {Pages::OnFirstTouch, Pages::Populated}) {
        ZeroedTable<uint8_t> table(size, pages);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&table[0]) % (std::size_t{2} << 20), 0u);
        std::size_t nonzero = 0;
        for (std::size_t i = 0; i < size; i += 997) nonzero += table[i] != 0;
        EXPECT_EQ(nonzero + (table[size - 1] != 0), 0u);
        table[0] = 1;
        table[size - 1] = 2;
        EXPECT_EQ(table[0] + table[size - 1], 3);
    }
}

}  // namespace
}  // namespace zelk
