#include <gtest/gtest.h>
#include <pybind11/embed.h>

extern "C" PyObject* PyInit_orvex_pytorch_lib();

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The module is linked into this binary; import it from here rather than from site-packages so
  // that Python and these tests share one message manager and one backend.
  PyImport_AppendInittab("orvex_pytorch_lib", &PyInit_orvex_pytorch_lib);
  pybind11::scoped_interpreter interpreter;
  return RUN_ALL_TESTS();
}
