# The shared sources of the drivers, listed once; each driver's CMakeLists.txt
# includes this file and passes the lists to add_wdm_driver.

# The core every driver is built from.
set(PDKIT_CORE_SOURCES
  ${PDKIT_SOURCE_ROOT}/sharefiles/frame.cpp
  ${PDKIT_SOURCE_ROOT}/sharefiles/devctl.cpp
  ${PDKIT_SOURCE_ROOT}/sharefiles/nxmemory.cpp
  ${PDKIT_SOURCE_ROOT}/sharefiles/pnp/pnp.cpp
  ${PDKIT_SOURCE_ROOT}/sharefiles/pm/pm.cpp)

# The data store of the drivers with a read and write path.
set(PDKIT_STORE_SOURCES
  ${PDKIT_SOURCE_ROOT}/sharefiles/store.cpp)

# The including driver's version resource.
set(PDKIT_DRIVER_RESOURCE RESOURCE ${CMAKE_CURRENT_SOURCE_DIR}/drvmain.rc)
