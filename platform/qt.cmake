# The Qt side of the platform: the skinned controls, the Qt file-open
# dialog, folder picker, message box and help viewer. Included at the end
# of platform/CMakeLists.txt.
if(QUILLMAR_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Widgets Gui Core Test)

  add_library(quillmar_platform_qt STATIC
    skin/hook_menu.cc
    skin/message_style.cc
    skin/skin_controls.cc
    skin/skin_form.cc
    skin/skin_global.cc
    skin/skin_image_list.cc
    skin/skin_status_bar.cc
    skin/skin_style.cc
    skin/skin_toolbar.cc
    qt/help_viewer.cc
    qt/message_box.cc
    qt/qt_file_open_dialog.cc
    qt/qt_folder_picker.cc
  )
  set_target_properties(quillmar_platform_qt PROPERTIES AUTOMOC ON)
  target_link_libraries(quillmar_platform_qt PUBLIC quillmar_platform Qt6::Widgets)
endif()
