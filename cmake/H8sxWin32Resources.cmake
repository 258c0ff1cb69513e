# h8sx_win32_resources(TARGET DESCRIPTION): gives a Windows program the project's icon and a
# version resource (product, version from project(VERSION), description), which Explorer
# shows in the file's properties. A target may have further .rc files beside this one.
enable_language(RC)
set(H8SX_WIN32_RESOURCES_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/win32-resources.rc.in)

function(h8sx_win32_resources target description)
  foreach(part MAJOR MINOR PATCH TWEAK)
    set(H8SX_VERSION_${part} "${PROJECT_VERSION_${part}}")
    if(H8SX_VERSION_${part} STREQUAL "")
      set(H8SX_VERSION_${part} 0)
    endif()
  endforeach()
  set(H8SX_TARGET ${target})
  set(H8SX_DESCRIPTION "${description}")
  set(H8SX_ICON ${PROJECT_SOURCE_DIR}/packaging/icons/h8sx-writer.ico)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources.rc)
  configure_file(${H8SX_WIN32_RESOURCES_TEMPLATE} ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${H8SX_ICON})
endfunction()
