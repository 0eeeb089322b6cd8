# libtorch comes from the torch 2.13.0 CPU wheel of the Python 3.11 environment.
# Only libtorch_cpu and libc10 are linked; TorchConfig.cmake is avoided since it
# drags in CUDA probing and Python-side targets this library never uses.
if(NOT VELMORA_TORCH_PYTHON)
  message(FATAL_ERROR "VELMORA_TORCH_PYTHON must name the Python 3.11 interpreter holding torch 2.13.0 (tools/setup.sh prints it)")
endif()

execute_process(
  COMMAND "${VELMORA_TORCH_PYTHON}" -c
          "import os, torch; print(os.path.dirname(torch.__file__)); print(torch.__version__); print(int(torch._C._GLIBCXX_USE_CXX11_ABI)); print(torch.version.cuda)"
  OUTPUT_VARIABLE _torch_info
  RESULT_VARIABLE _torch_rc
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT _torch_rc EQUAL 0)
  message(FATAL_ERROR "cannot import torch with ${VELMORA_TORCH_PYTHON}")
endif()
string(REPLACE "\n" ";" _torch_info "${_torch_info}")
list(GET _torch_info 0 VELMORA_TORCH_DIR)
list(GET _torch_info 1 _torch_version)
list(GET _torch_info 2 _torch_abi)
list(GET _torch_info 3 _torch_cuda)
if(NOT _torch_version MATCHES "^2\\.13\\.0")
  message(FATAL_ERROR "torch 2.13.0 is required, found ${_torch_version}")
endif()
if(NOT _torch_cuda STREQUAL "None")
  message(FATAL_ERROR "the CPU build of torch is required, found a CUDA build (${_torch_cuda})")
endif()
message(STATUS "libtorch: ${VELMORA_TORCH_DIR} (${_torch_version})")

set(VELMORA_TORCH_LIBDIR "${VELMORA_TORCH_DIR}/lib")
add_library(velmora_torch INTERFACE)
target_include_directories(velmora_torch SYSTEM INTERFACE
  "${VELMORA_TORCH_DIR}/include"
  "${VELMORA_TORCH_DIR}/include/torch/csrc/api/include")
target_compile_definitions(velmora_torch INTERFACE _GLIBCXX_USE_CXX11_ABI=${_torch_abi})
# The OpenMP runtime is torch's own copy: a thread's team size set through
# any other runtime would not reach the pool the tensor library runs on.
target_link_libraries(velmora_torch INTERFACE
  "${VELMORA_TORCH_LIBDIR}/libtorch_cpu.so"
  "${VELMORA_TORCH_LIBDIR}/libc10.so"
  "${VELMORA_TORCH_LIBDIR}/libgomp.so.1")
set(CMAKE_BUILD_RPATH "${VELMORA_TORCH_LIBDIR}")
set(CMAKE_INSTALL_RPATH "${VELMORA_TORCH_LIBDIR}")
