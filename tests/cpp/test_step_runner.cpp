// The runner of the steps' wrappers: every C++ exception a step throws becomes a Python
// exception, with the interpreter lock held again, and none reaches the interpreter.
#include "step_checks.hpp"

#include <gtest/gtest.h>

#include <string>
#include <system_error>

using namespace steps;

namespace {

// One interpreter for the whole test program; the main thread holds its lock.
class Interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
};
const auto *const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

// The exception a step set: its type matched against type, its message returned; cleared.
std::string raised(PyObject *type)
{
    EXPECT_TRUE(PyErr_ExceptionMatches(type));
    PyObject *kind, *value, *traceback;
    PyErr_Fetch(&kind, &value, &traceback);
    PyObject *text = value ? PyObject_Str(value) : nullptr;
    std::string message = text ? PyUnicode_AsUTF8(text) : "";
    Py_XDECREF(text);
    Py_XDECREF(kind);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return message;
}

} // namespace

// The interpreter keeps much of its own memory until the process ends, so the leak check, which
// would report it, is off for this program (as for the Python tests under the sanitizers).
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() { return 1; }

TEST(StepRunner, FinishedWorkSetsNothing)
{
    int worked = 0;
    for (Lock lock : {Lock::Keep, Lock::Release})
        EXPECT_TRUE(runStep(lock, [&] { ++worked; }));
    EXPECT_EQ(worked, 2);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST(StepRunner, EveryExceptionBecomesItsPythonException)
{
    for (Lock lock : {Lock::Keep, Lock::Release}) {
        EXPECT_FALSE(runStep(lock, [] { throw std::bad_alloc(); }));
        raised(PyExc_MemoryError);
        EXPECT_FALSE(runStep(lock, [] { throw std::invalid_argument("a bad size"); }));
        EXPECT_EQ(raised(PyExc_ValueError), "a bad size");
        EXPECT_FALSE(runStep(lock, [] { throw std::length_error("too long"); }));
        EXPECT_EQ(raised(PyExc_ValueError), "too long");
        EXPECT_FALSE(runStep(lock, [] { throw std::system_error(std::make_error_code(std::errc::io_error), "disk"); }));
        EXPECT_NE(raised(PyExc_RuntimeError).find("disk"), std::string::npos);
        EXPECT_FALSE(runStep(lock, [] { throw 7; }));
        EXPECT_EQ(raised(PyExc_RuntimeError), "a native step failed");
    }
}

TEST(StepRunner, TheLockIsHeldAgainWhenTheExceptionIsSet)
{
    EXPECT_FALSE(runStep(Lock::Release, [] {
        EXPECT_FALSE(PyGILState_Check());
        throw std::runtime_error("after release");
    }));
    EXPECT_TRUE(PyGILState_Check());
    EXPECT_EQ(raised(PyExc_RuntimeError), "after release");
}
