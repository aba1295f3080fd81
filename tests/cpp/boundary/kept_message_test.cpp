#include "boundary/kept_message.h"

#include <gtest/gtest.h>

#include "support.h"

namespace tarvu {
namespace {

using test::eval_python;
using test::FrameTest;
using test::Ref;

class KeptMessageTest : public FrameTest {};

/// The interpreter's count of allocated memory blocks (sys.getallocatedblocks).
Py_ssize_t allocated_blocks(PyObject* getallocatedblocks) {
    Ref count(PyObject_CallNoArgs(getallocatedblocks));
    return PyLong_AsSsize_t(count.get());
}

// Another thread may fill the cell between a raise's first look at it and the
// step that makes the str: that step must hand out the first str and leave no
// str of its own behind, with or without an interpreter lock.
TEST_F(KeptMessageTest, MakingAMessageWhoseCellIsAlreadyFilledKeepsTheFirstStrAndLeavesNoOther) {
    Ref getallocatedblocks = eval_python("__import__('sys').getallocatedblocks");
    Ref first = eval_python("'Matching variant not found'");
    PyObject* cell = first.get();
    constexpr int RACES = 32;
    for (int number : {-1, 6}) {
        SCOPED_TRACE(number);
        const Py_ssize_t before = allocated_blocks(getallocatedblocks.get());
        for (int race = 0; race < RACES; ++race) {
            ASSERT_EQ(make_or_keep_message(cell, "Matching variant not found", number), first.get());
        }
        EXPECT_LT(allocated_blocks(getallocatedblocks.get()) - before, RACES) << "a str per lost race stays allocated";
        EXPECT_EQ(cell, first.get());
    }
}

}  // namespace
}  // namespace tarvu
