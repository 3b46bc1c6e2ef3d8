# A Debian package of the kit, made by CPack from what `cmake --install`
# puts in place: the programs in /usr/bin, their manual pages compressed in
# /usr/share/man/man1, and the README, changelog and copyright in
# /usr/share/doc/osprimer, with the kit's litmus tests in its litmus/.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/memory_models/litmus DESTINATION ${CMAKE_INSTALL_DOCDIR}
  FILES_MATCHING PATTERN "*.litmus")
# Debian wants the changelog compressed, and without a time stamp, so that
# the same source always makes the same package.
set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME osprimer)
set(CPACK_PACKAGE_CONTACT "osprimer developers <osprimer@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION education)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small programs that show what threads and processes do")
set(CPACK_PACKAGE_DESCRIPTION "Each program exercises one facility of the Linux thread or process
interface and prints what happened: Peterson's lock and why it needs
sequentially consistent memory accesses, shown on the hardware and in every
execution that three memory models allow, with the explorer that shows it
run on any litmus test in the published C form, a counter that loses updates
without a lock (and an account of every lost update), worker threads that
hand back or print their results, and child processes that replace
themselves with ls or top while the parent waits for them or not; and
exercises that ask what a program will do before showing what it did,
with keys the kit computes itself, among them seeded scripts of forks,
exits and waits that forkscript runs for real and proctrace reveals.")
# libc, as the programs' own links demand; top and ls, which the launchers
# start. coreutils is essential, so Debian asks that a dependency on it name
# a version: the oldest that Debian still supports.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps, coreutils (>= 8.32)")
# Debian ships programs without their symbol tables.
set(CPACK_STRIP_FILES ON)
include(CPack)
