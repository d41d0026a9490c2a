# 32-bit x86 deliverable (kvzcam), built on an x86-64 host with multilib.
# The host cannot execute i386 binaries, so CTest runs them under qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-gnu)
# "max" offers every instruction set the builds use (SSE to SSSE3); specific models are
# added per test where detection must see real identification data.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386;-cpu;max CACHE STRING "runs i386 test binaries")
