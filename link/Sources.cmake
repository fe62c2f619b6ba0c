# The link's sources, named once for every build that compiles them: the
# tool, the Win32 build of the tests and the fuzz targets.
set(VTLINK_COMMON_SOURCES Frames.cpp RegisterImage.cpp LineTiming.cpp Messages.cpp Master.cpp Modbus.cpp Transport.cpp NetworkTransport.cpp TcpSocket.cpp BlockSteps.cpp DisplaySearch.cpp FrameLog.cpp PortMessages.cpp PortList.cpp)
set(VTLINK_POSIX_SOURCES SerialPortPosix.cpp TcpSocketPosix.cpp SerialLineLinux.cpp PortsLinux.cpp)
set(VTLINK_WIN32_SOURCES SerialPortWin32.cpp TcpSocketWin32.cpp PortsWin32.cpp)
foreach(list VTLINK_COMMON_SOURCES VTLINK_POSIX_SOURCES VTLINK_WIN32_SOURCES)
  list(TRANSFORM ${list} PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
endforeach()
