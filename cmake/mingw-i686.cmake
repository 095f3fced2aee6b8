# 32-bit Windows, the deliverable's toolchain. The posix thread model's
# compilers are used because GoogleTest needs std::mutex; everything is linked
# statically, so no threads DLL is imported.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
