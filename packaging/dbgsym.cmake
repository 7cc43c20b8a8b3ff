# Run by cpack after it has built the packages (CPACK_POST_BUILD_SCRIPTS).
# CMake 3.25 writes each -dbgsym package with an md5sums file that names the
# build tree's paths and with no doc directory, both faults to dpkg and
# lintian. Rebuild each .ddeb as debhelper shapes one: md5sums by package
# path, the debug files not executable, and usr/share/doc/<name>-dbgsym a link
# to the doc directory of the package it depends on.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "\\.ddeb$")
        continue()
    endif()
    set(tree "${package}.tree")
    file(REMOVE_RECURSE "${tree}")
    execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)

    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/*")
    set(md5sums "")
    foreach(path IN LISTS files)
        file(CHMOD "${tree}/${path}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        file(MD5 "${tree}/${path}" sum)
        string(APPEND md5sums "${sum}  ${path}\n")
    endforeach()
    file(WRITE "${tree}/DEBIAN/md5sums" "${md5sums}")

    file(STRINGS "${tree}/DEBIAN/control" name REGEX "^Package: ")
    file(STRINGS "${tree}/DEBIAN/control" depends REGEX "^Depends: ")
    string(REGEX REPLACE "^Package: " "" name "${name}")
    string(REGEX REPLACE "^Depends: ([^ ,]+).*" "\\1" depends "${depends}")
    file(MAKE_DIRECTORY "${tree}/usr/share/doc")
    file(CREATE_LINK "${depends}" "${tree}/usr/share/doc/${name}" SYMBOLIC)

    # gzip, as CPack packs the .deb: dpkg-deb's own default, xz, takes
    # seconds over the debug files.
    execute_process(COMMAND dpkg-deb -Zgzip --root-owner-group --build "${tree}" "${package}"
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${tree}")
endforeach()
