# Qt's headers compiled once per build instead of once per source file. Three
# precompiled headers, each made by a target of its own: Qt Core for all that
# has no window, Qt Core with Gui and Widgets for the windows and their tests,
# and Qt Core with Network and Test for the other tests (each test is one
# file, and QTest was most of what was left to parse).
# sms_share_precompiled_headers(), called at the end of the top CMakeLists.txt,
# hands one of them to every target that links sms_options and Qt, so a new
# target needs nothing of its own.
#
# A precompiled header is only used with the flags it was made with; they are
# the same here because they all come from sms_options and the build type. gcc
# says so with -Winvalid-pch (an error with -Werror), clang refuses on its own.
# CMAKE_DISABLE_PRECOMPILE_HEADERS=ON builds without them, which shows a
# missing #include that the shared headers hide.
#
# Only what many files include goes in: a bigger header costs every file that
# loads it.
set(SMS_PCH_CORE
    <QtCore/QByteArray> <QtCore/QString> <QtCore/QStringList> <QtCore/QList> <QtCore/QHash> <QtCore/QSet>
    <QtCore/QObject> <QtCore/QCoreApplication> <QtCore/QTimer> <QtCore/QElapsedTimer> <QtCore/QDateTime>
    <QtCore/QFile> <QtCore/QDir> <QtCore/QFileInfo> <QtCore/QTemporaryDir> <QtCore/QProcess>
    <QtCore/QTextStream> <QtCore/QCommandLineParser>)
set(SMS_PCH_TEST ${SMS_PCH_CORE}
    <QtNetwork/QTcpServer> <QtNetwork/QTcpSocket> <QtTest/QTest> <QtTest/QSignalSpy>)
set(SMS_PCH_WIDGETS ${SMS_PCH_CORE}
    <QtGui/QPainter> <QtGui/QScreen>
    <QtWidgets/QApplication> <QtWidgets/QWidget> <QtWidgets/QDialog> <QtWidgets/QMainWindow>
    <QtWidgets/QLabel> <QtWidgets/QLineEdit> <QtWidgets/QPlainTextEdit> <QtWidgets/QPushButton>
    <QtWidgets/QRadioButton>)

# The makers: no code of their own, only the precompiled header.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/sms_pch.cpp CONTENT "// The shared precompiled headers are made with this.\n")
add_library(sms_pch_core OBJECT ${CMAKE_BINARY_DIR}/sms_pch.cpp)
target_link_libraries(sms_pch_core PRIVATE Qt6::Core sms_options)
target_precompile_headers(sms_pch_core PRIVATE ${SMS_PCH_CORE})
add_library(sms_pch_widgets OBJECT ${CMAKE_BINARY_DIR}/sms_pch.cpp)
target_link_libraries(sms_pch_widgets PRIVATE Qt6::Widgets Qt6::Gui Qt6::Core sms_options)
target_precompile_headers(sms_pch_widgets PRIVATE ${SMS_PCH_WIDGETS})
set_target_properties(sms_pch_core sms_pch_widgets PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)

# The tests' maker, called from the tests' folder: Qt Test defines the
# folder's paths for each target (QT_TESTCASE_BUILDDIR), and a precompiled
# header fits only where they are the same.
function(sms_add_test_pch_maker)
    add_library(sms_pch_test OBJECT ${CMAKE_BINARY_DIR}/sms_pch.cpp)
    target_link_libraries(sms_pch_test PRIVATE Qt6::Test Qt6::Network Qt6::Core sms_options)
    target_precompile_headers(sms_pch_test PRIVATE ${SMS_PCH_TEST})
    set_target_properties(sms_pch_test PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
endfunction()

# Every target of the build, in every folder under dir.
function(sms_all_targets dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
        sms_all_targets(${sub} more)
        list(APPEND targets ${more})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

# What target links, directly or through the libraries it links.
function(sms_linked target out)
    set(seen)
    set(todo ${target})
    while(todo)
        list(POP_FRONT todo item)
        string(REGEX REPLACE "^\\$<LINK_ONLY:([^>]+)>$" "\\1" item "${item}")
        if(item MATCHES "^\\$<" OR item IN_LIST seen)
            continue()
        endif()
        list(APPEND seen ${item})
        if(TARGET ${item})
            get_target_property(imported ${item} IMPORTED)
            if(NOT imported)
                get_target_property(direct ${item} LINK_LIBRARIES)
                get_target_property(interface ${item} INTERFACE_LINK_LIBRARIES)
                foreach(list IN ITEMS direct interface)
                    if(${list})
                        list(APPEND todo ${${list}})
                    endif()
                endforeach()
            endif()
        endif()
    endwhile()
    set(${out} ${seen} PARENT_SCOPE)
endfunction()

# The file that gathers moc's output is empty where no header of the target
# declares a Q_OBJECT (the tests include their own moc output): loading gcc's
# precompiled header, well over 100 MB, would cost it more than a second.
function(sms_skip_empty_moc_file target)
    get_target_property(automoc ${target} AUTOMOC)
    if(NOT automoc)
        return()
    endif()
    get_target_property(sources ${target} SOURCES)
    get_target_property(srcdir ${target} SOURCE_DIR)
    foreach(source IN LISTS sources)
        # moc also reads the header beside each source.
        get_filename_component(header ${source} ABSOLUTE BASE_DIR ${srcdir})
        string(REGEX REPLACE "\\.[^./]*$" ".h" header ${header})
        if(EXISTS ${header})
            file(STRINGS ${header} declares REGEX "Q_OBJECT|Q_GADGET|Q_NAMESPACE")
            if(declares)
                return()
            endif()
        endif()
    endforeach()
    get_target_property(bindir ${target} BINARY_DIR)
    set_source_files_properties(${bindir}/${target}_autogen/mocs_compilation.cpp
        TARGET_DIRECTORY ${target} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
endfunction()

function(sms_share_precompiled_headers)
    sms_all_targets(${CMAKE_SOURCE_DIR} targets)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        get_target_property(own ${target} PRECOMPILE_HEADERS)
        get_target_property(reused ${target} PRECOMPILE_HEADERS_REUSE_FROM)
        if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$"
           OR own OR reused)
            continue()
        endif()
        sms_linked(${target} linked)
        if(NOT "sms_options" IN_LIST linked)
            continue()
        endif()
        list(FILTER linked INCLUDE REGEX "^Qt6?::")
        if(linked MATCHES "(^|;)Qt6?::(Widgets|Gui)(;|$)")
            set_target_properties(${target} PROPERTIES PRECOMPILE_HEADERS_REUSE_FROM sms_pch_widgets)
        elseif(TARGET sms_pch_test AND linked MATCHES "(^|;)Qt6?::Test(;|$)")
            set_target_properties(${target} PROPERTIES PRECOMPILE_HEADERS_REUSE_FROM sms_pch_test)
        elseif(linked MATCHES "(^|;)Qt6?::Core(;|$)")
            set_target_properties(${target} PROPERTIES PRECOMPILE_HEADERS_REUSE_FROM sms_pch_core)
        else()
            continue()
        endif()
        sms_skip_empty_moc_file(${target})
    endforeach()
endfunction()
