#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(_velmora, m) {
  m.doc() = "Native components of Velmora.";
  m.attr("__version__") = "0.1.0";
}
