# Sourced by scripts/package.sh and scripts/test.sh: the CMake arguments for a
# build that the Debian packages are made from. Debian's build flags with
# every hardening feature (fortified functions, stack protector, relro,
# bindnow), debug information for the -dbgsym packages, and the /usr prefix.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
debian_cmake_args=(
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
    -DCMAKE_INSTALL_PREFIX=/usr
    "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
    "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)"
)
