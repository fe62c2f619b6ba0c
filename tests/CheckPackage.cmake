# Builds the Debian package from a build folder into a folder of its own and
# checks what it holds and what it depends on.
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD}/CPackConfig.cmake -B ${OUT}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${output}")
endif()
file(GLOB packages ${OUT}/vtconfig_*.deb)
list(LENGTH packages count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one vtconfig_*.deb in ${OUT}, found: ${packages}")
endif()
execute_process(COMMAND dpkg-deb --field ${packages} Depends OUTPUT_VARIABLE depends)
foreach(needed libqt6widgets6 libqt6svg6 libc6)
  if(NOT depends MATCHES "${needed}")
    message(FATAL_ERROR "the package does not depend on ${needed}: ${depends}")
  endif()
endforeach()
execute_process(COMMAND dpkg-deb --contents ${packages} OUTPUT_VARIABLE contents)
foreach(path ./usr/bin/vtconfig ./usr/bin/vtctl ./usr/bin/vtsim
             ./usr/share/applications/example.verozorivira.vtconfig.desktop
             ./usr/share/metainfo/example.verozorivira.vtconfig.metainfo.xml
             ./usr/share/icons/hicolor/scalable/apps/example.verozorivira.vtconfig.svg)
  string(REPLACE "." "\\." pattern "${path}")
  if(NOT contents MATCHES " ${pattern}\n")
    message(FATAL_ERROR "the package lacks ${path}:\n${contents}")
  endif()
endforeach()
