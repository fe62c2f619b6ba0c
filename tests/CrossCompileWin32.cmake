# Compiles the link library for Windows with MinGW and archives it.
file(MAKE_DIRECTORY ${BINARY_DIR})
set(objects)
foreach(source link/Modbus.cpp link/BlockSteps.cpp link/DisplaySearch.cpp link/FrameLog.cpp link/PortMessages.cpp
               link/SerialPortWin32.cpp)
  get_filename_component(stem ${source} NAME_WE)
  execute_process(COMMAND ${CXX} -std=c++17 -Wall -Wextra -Werror -O1 -c ${SOURCE_DIR}/${source}
                          -o ${BINARY_DIR}/${stem}.obj
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${source} does not compile for Win32")
  endif()
  list(APPEND objects ${BINARY_DIR}/${stem}.obj)
endforeach()
string(REPLACE "g++" "ar" AR ${CXX})
execute_process(COMMAND ${AR} rcs ${BINARY_DIR}/libvtlink.a ${objects} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot archive the Win32 link library")
endif()
