#include "boundary/kept_message.h"

#include <gtest/gtest.h>

#include "support.h"

namespace tarvu {
namespace {

using test::blocks_in_use;
using test::eval_python;
using test::FrameTest;
using test::Ref;

class KeptMessageTest : public FrameTest {};

// Another thread may fill the cell between a raise's first look at it and the
// step that makes the str: that step must hand out the first str and leave no
// str of its own behind, with or without an interpreter lock.
TEST_F(KeptMessageTest, MakingAMessageWhoseCellIsAlreadyFilledKeepsTheFirstStrAndLeavesNoOther) {
    Ref first = eval_python("'Matching variant not found'");
    PyObject* cell = first.get();
    constexpr int RACES = 32;
    for (int number : {-1, 6}) {
        SCOPED_TRACE(number);
        const Py_ssize_t before = blocks_in_use();
        for (int race = 0; race < RACES; ++race) {
            ASSERT_EQ(make_or_keep_message(cell, "Matching variant not found", number), first.get());
        }
        EXPECT_LT(blocks_in_use() - before, RACES) << "a str per lost race stays allocated";
        EXPECT_EQ(cell, first.get());
    }
}

}  // namespace
}  // namespace tarvu
