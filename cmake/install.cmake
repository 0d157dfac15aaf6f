# cmake --install: the programs that this build made, and for the desktop
# program its menu entry and icon. Included last, when every target exists.
include(GNUInstallDirs)

if(TARGET duvo-compare)
  install(TARGETS duvo-compare RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(TARGET duvo)
  install(TARGETS duvo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/data/duvo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  # Icons made from src/widgets/resources/icon.bmp by tools/make_assets.py.
  foreach(size 32 128)
    install(FILES ${CMAKE_SOURCE_DIR}/data/icons/duvo-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME duvo.png)
  endforeach()
endif()
