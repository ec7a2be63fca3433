# Finds the project's dependencies, all from Debian's packages. A missing one
# stops configuration with the command that installs it.

macro(tavo_require found package)
  if(NOT ${found})
    message(FATAL_ERROR "${package} not found. Install it with: apt-get install -y ${package} "
                        "(scripts/test.sh installs every missing package before it builds).")
  endif()
endmacro()

# The interpreter: CPython 3.12 exactly, never the system's 3.11. Without an
# explicit Python_EXECUTABLE, look where pyenv keeps 3.12.
if(NOT Python_EXECUTABLE)
  set(_pyenv_root "$ENV{PYENV_ROOT}")
  if(NOT _pyenv_root)
    set(_pyenv_root "$ENV{HOME}/.pyenv")
  endif()
  file(GLOB _py312 "${_pyenv_root}/versions/3.12*/bin/python3.12")
  if(_py312)
    list(GET _py312 0 _py312)
    set(Python_EXECUTABLE "${_py312}" CACHE FILEPATH "CPython 3.12 interpreter")
  endif()
endif()
find_package(Python 3.12 EXACT COMPONENTS Interpreter Development.Module)
if(NOT Python_FOUND)
  message(FATAL_ERROR "CPython 3.12 not found. Pass -DPython_EXECUTABLE=/path/to/python3.12 "
                      "(pyenv: $(pyenv root)/versions/3.12.1/bin/python3.12).")
endif()

set(PYBIND11_FINDPYTHON ON)
find_package(pybind11 2.10 CONFIG QUIET)
tavo_require(pybind11_FOUND pybind11-dev)
find_package(fmt CONFIG QUIET)
tavo_require(fmt_FOUND libfmt-dev)
find_package(spdlog CONFIG QUIET)
tavo_require(spdlog_FOUND libspdlog-dev)
find_package(Boost 1.74 QUIET COMPONENTS filesystem)
tavo_require(Boost_FOUND "libboost-dev libboost-filesystem-dev")
find_path(READERWRITERQUEUE_INCLUDE_DIR readerwriterqueue/readerwriterqueue.h)
tavo_require(READERWRITERQUEUE_INCLUDE_DIR libreaderwriterqueue-dev)
add_library(readerwriterqueue INTERFACE)
target_include_directories(readerwriterqueue SYSTEM INTERFACE "${READERWRITERQUEUE_INCLUDE_DIR}")
find_package(Threads REQUIRED)

# ZeroMQ and its C++ header, for tavo-server and the remote plugin.
find_path(ZMQ_INCLUDE_DIR zmq.h)
find_library(ZMQ_LIBRARY NAMES zmq libzmq.so.5)
find_path(CPPZMQ_INCLUDE_DIR zmq.hpp)
if(ZMQ_INCLUDE_DIR AND ZMQ_LIBRARY AND CPPZMQ_INCLUDE_DIR)
  set(TAVO_ZMQ_FOUND TRUE)
endif()
tavo_require(TAVO_ZMQ_FOUND "libzmq3-dev cppzmq-dev")
add_library(tavo_zmq INTERFACE)
target_include_directories(tavo_zmq SYSTEM INTERFACE "${ZMQ_INCLUDE_DIR}" "${CPPZMQ_INCLUDE_DIR}")
target_link_libraries(tavo_zmq INTERFACE "${ZMQ_LIBRARY}")
