# Windows test programs run under Wine in a throw-away prefix inside the build tree,
# created once per test run; the local update servers (http, and https twice) run for the HTTP tests.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
# Python scripts run as ${Python3_EXECUTABLE}: the imported target would get the Wine emulator put in
# front of it, which runs them natively but loses their exit code, so every one of them would pass.

set(QUILLMERE_HTTP_TEST_PORT 18432 CACHE STRING "Port of the update server the HTTP tests talk to")
set(QUILLMERE_HTTPS_TEST_PORT 18433 CACHE STRING "Port of the https server the HTTP tests trust")
set(QUILLMERE_UNTRUSTED_HTTPS_TEST_PORT 18434 CACHE STRING "Port of the https server the HTTP tests must refuse")
set(QUILLMERE_PROXY_TEST_PORT 18435 CACHE STRING "Port of the proxy (and its PAC script) the proxy tests go through")
set(QUILLMERE_AUTH_PROXY_TEST_PORT 18436 CACHE STRING "Port of the proxy that asks the proxy tests for a password")
set(HTTP_TEST_ROOT ${CMAKE_BINARY_DIR}/http-test-root)
# Made afresh by every test run; win_tests puts ca.der into the prefix's root store while it runs.
set(HTTPS_TEST_CERTS ${CMAKE_BINARY_DIR}/https-test-certs)
# Both test proxies write every request they see here.
set(PROXY_TEST_LOG ${CMAKE_BINARY_DIR}/proxy-test.log)

add_executable(wine_warmup WineWarmup_win32.cpp)
add_test(NAME wine_prefix_create COMMAND ${CMAKE_BINARY_DIR}/wine-prefix.sh create $<TARGET_FILE:wine_warmup>)
set_tests_properties(wine_prefix_create PROPERTIES FIXTURES_SETUP wine)
add_test(NAME wine_prefix_stop COMMAND ${CMAKE_BINARY_DIR}/wine-prefix.sh stop)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine)

# An update server on the HTTP tests' files for the tests that require fixture NAME; options go to the server.
set(SERVER_CONTROL ${CMAKE_CURRENT_SOURCE_DIR}/server-control.sh)
function(add_test_server name port)
  set(pidfile ${CMAKE_BINARY_DIR}/${name}.pid)
  add_test(NAME ${name}_start
    COMMAND ${SERVER_CONTROL} start ${PROJECT_SOURCE_DIR}/tools/update_server.py ${HTTP_TEST_ROOT} ${port} ${pidfile}
            ${ARGN})
  set_tests_properties(${name}_start PROPERTIES FIXTURES_SETUP ${name})
  add_test(NAME ${name}_stop COMMAND ${SERVER_CONTROL} stop ${pidfile})
  set_tests_properties(${name}_stop PROPERTIES FIXTURES_CLEANUP ${name})
endfunction()

add_test_server(http_server ${QUILLMERE_HTTP_TEST_PORT})
# Python3_EXECUTABLE: natively, without the Wine emulator in front.
add_test(NAME https_certs
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_test_certs.py ${HTTPS_TEST_CERTS})
set_tests_properties(https_certs PROPERTIES FIXTURES_SETUP https_certs)
add_test_server(https_server ${QUILLMERE_HTTPS_TEST_PORT}
  --tls-cert ${HTTPS_TEST_CERTS}/localhost.pem --tls-key ${HTTPS_TEST_CERTS}/localhost.key)
add_test_server(untrusted_https_server ${QUILLMERE_UNTRUSTED_HTTPS_TEST_PORT}
  --tls-cert ${HTTPS_TEST_CERTS}/stranger.pem --tls-key ${HTTPS_TEST_CERTS}/stranger.key)
set_tests_properties(https_server_start untrusted_https_server_start PROPERTIES FIXTURES_REQUIRED https_certs)

# The test proxy for the tests that require fixture NAME, serving the PAC script the tests write into
# their files; options go to the proxy.
function(add_test_proxy name port)
  set(pidfile ${CMAKE_BINARY_DIR}/${name}.pid)
  add_test(NAME ${name}_start
    COMMAND ${SERVER_CONTROL} start ${PROJECT_SOURCE_DIR}/tools/proxy_server.py ${HTTP_TEST_ROOT} ${port} ${pidfile}
            --log ${PROXY_TEST_LOG} ${ARGN})
  set_tests_properties(${name}_start PROPERTIES FIXTURES_SETUP ${name})
  add_test(NAME ${name}_stop COMMAND ${SERVER_CONTROL} stop ${pidfile})
  set_tests_properties(${name}_stop PROPERTIES FIXTURES_CLEANUP ${name})
endfunction()
add_test_proxy(proxy_server ${QUILLMERE_PROXY_TEST_PORT})
add_test_proxy(auth_proxy_server ${QUILLMERE_AUTH_PROXY_TEST_PORT} --require-basic quillmere:test)

add_test(NAME portable_tests COMMAND portable_tests)
foreach(file IN LISTS FUZZ_TARGETS)
  string(TOLOWER ${file} name)
  add_test(NAME fuzz_${name}_replay COMMAND fuzz_${name}_replay Z:${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${name})
endforeach()

add_executable(win_tests
  install/PlatformTests_win32.cpp
  install/ProcessTests_win32.cpp
  net/HttpTests_win32.cpp
  wizard/WindowEventsTests_win32.cpp
  wizard/WizardWindowTests_win32.cpp
  wizard/SettingsTests_win32.cpp
  base/FilesTests_win32.cpp
  base/TextTests_win32.cpp
  vault/CipherTests_win32.cpp
  StoredZip.cpp
  WineTestSupport_win32.cpp
)
target_link_libraries(win_tests PRIVATE setup_wizard GTest::gtest_main ole32 uuid shell32 crypt32)
target_include_directories(win_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(win_tests PRIVATE
  HTTP_TEST_ROOT="${HTTP_TEST_ROOT}"
  HTTP_TEST_PORT=${QUILLMERE_HTTP_TEST_PORT}
  HTTPS_TEST_PORT=${QUILLMERE_HTTPS_TEST_PORT}
  UNTRUSTED_HTTPS_TEST_PORT=${QUILLMERE_UNTRUSTED_HTTPS_TEST_PORT}
  PROXY_TEST_PORT=${QUILLMERE_PROXY_TEST_PORT}
  AUTH_PROXY_TEST_PORT=${QUILLMERE_AUTH_PROXY_TEST_PORT}
  PROXY_TEST_LOG="${PROXY_TEST_LOG}"
  HTTPS_TEST_CA="${HTTPS_TEST_CERTS}/ca.der"
  STUBS_DIR="${CMAKE_BINARY_DIR}/stubs"
  SMALL_DRIVE="${CMAKE_BINARY_DIR}/small-drive")
add_dependencies(win_tests node_stub node_stub_msi npm_stub child_probe planted_program)

# The runner's tests start this child through cmd.exe, which finds it beside win_tests.exe.
add_executable(child_probe install/ChildProbe_win32.cpp)
target_link_options(child_probe PRIVATE -municode)
# Copied beside win_tests.exe and into its current folder under system programs' names.
add_executable(planted_program install/PlantedProgram_win32.cpp)
target_link_options(planted_program PRIVATE -municode)
add_test(NAME win_tests COMMAND win_tests)

# A drive of 64 KiB for the full-disk test, where the machine lets us mount one (as root); without it
# that test says it was skipped.
set(SMALL_DRIVE ${CMAKE_BINARY_DIR}/small-drive)
add_test(NAME small_drive_mount COMMAND sh -c
  "mkdir -p '${SMALL_DRIVE}' && (mountpoint -q '${SMALL_DRIVE}' || mount -t tmpfs -o size=64k tmpfs '${SMALL_DRIVE}' || true)")
set_tests_properties(small_drive_mount PROPERTIES FIXTURES_SETUP small_drive)
add_test(NAME small_drive_unmount COMMAND sh -c "! mountpoint -q '${SMALL_DRIVE}' || umount '${SMALL_DRIVE}'")
set_tests_properties(small_drive_unmount PROPERTIES FIXTURES_CLEANUP small_drive)

add_executable(wizard_driver gui/WizardDriver_win32.cpp)
target_link_libraries(wizard_driver PRIVATE user32 gdi32)
target_link_options(wizard_driver PRIVATE -municode)

add_executable(startup_driver gui/StartupDriver_win32.cpp)
target_link_libraries(startup_driver PRIVATE user32)
target_link_options(startup_driver PRIVATE -municode)

string(REGEX MATCH "^http://127\\.0\\.0\\.1:([0-9]+)/" local_base "${QUILLMERE_UPDATE_BASE_URL}")
set(local_port ${CMAKE_MATCH_1})
if(local_base)
  add_test(NAME setup_startup
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/gui/test_startup.py
            --wine-run ${WINE_RUN} --driver $<TARGET_FILE:startup_driver> --setup $<TARGET_FILE:setup>
            --port ${local_port}
            --base-url ${QUILLMERE_UPDATE_BASE_URL} --scratch ${CMAKE_BINARY_DIR}/startup-test)
  set_tests_properties(setup_startup PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK update_port)
  add_test(NAME setup_wizard
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/gui/test_wizard.py
            --wine-run ${WINE_RUN} --wine-root ${CMAKE_BINARY_DIR}/wine --driver $<TARGET_FILE:wizard_driver>
            --setup $<TARGET_FILE:setup> --launcher $<TARGET_FILE:launcher_stub>
            --port ${local_port}
            --scratch ${CMAKE_BINARY_DIR}/wizard-test --screenshots ${CMAKE_BINARY_DIR}/screenshots)
  set_tests_properties(setup_wizard PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK update_port TIMEOUT 600)
endif()

add_executable(encrypt_tool vault/EncryptTool_win32.cpp)
target_link_libraries(encrypt_tool PRIVATE setup_win32)
target_link_options(encrypt_tool PRIVATE -municode)
add_test(NAME vault_cross_decrypt
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/vault/test_cross_decrypt.py
          --wine-run ${WINE_RUN} --tool $<TARGET_FILE:encrypt_tool>)
set_tests_properties(vault_cross_decrypt PROPERTIES FIXTURES_REQUIRED wine)

add_test(NAME setup_pe_check COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/resources/check_pe.py $<TARGET_FILE:setup>)
add_test(NAME update_server_tool COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/test_update_server.py)

set_tests_properties(portable_tests PROPERTIES FIXTURES_REQUIRED "wine;http_server")
set_tests_properties(win_tests PROPERTIES FIXTURES_REQUIRED
  "wine;http_server;https_server;untrusted_https_server;small_drive;proxy_server;auth_proxy_server")
foreach(file IN LISTS FUZZ_TARGETS)
  string(TOLOWER ${file} name)
  set_tests_properties(fuzz_${name}_replay PROPERTIES FIXTURES_REQUIRED wine)
endforeach()

# The end-to-end run: the sample release installed through the wizard in a prefix of its own.
add_executable(shortcut_probe e2e/ShortcutProbe_win32.cpp)
target_link_libraries(shortcut_probe PRIVATE ole32 uuid shell32)
target_link_options(shortcut_probe PRIVATE -municode)
if(local_base)
  add_test(NAME end_to_end
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_end_to_end.py
            --setup $<TARGET_FILE:setup> --driver $<TARGET_FILE:wizard_driver> --warmup $<TARGET_FILE:wine_warmup>
            --shortcut-probe $<TARGET_FILE:shortcut_probe> --release ${CMAKE_BINARY_DIR}/sample-release
            --port ${local_port} --work ${CMAKE_BINARY_DIR}/e2e --screenshots ${CMAKE_BINARY_DIR}/screenshots/e2e)
  set_tests_properties(end_to_end PROPERTIES RESOURCE_LOCK update_port TIMEOUT 1200)
endif()

# Authenticode signing through cmake/sign.cmake, the release build's POST_BUILD step, on copies
# of setup.exe with throw-away certificates. Python3_EXECUTABLE, not the imported target, which
# would get the Wine emulator put in front of it: everything here runs natively.
find_program(QUILLMERE_OSSLSIGNCODE osslsigncode)
find_program(QUILLMERE_OPENSSL openssl)
add_test(NAME setup_signing
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/resources/test_signing.py
          --cmake ${CMAKE_COMMAND} --sign-script ${PROJECT_SOURCE_DIR}/cmake/sign.cmake
          --osslsigncode ${QUILLMERE_OSSLSIGNCODE} --openssl ${QUILLMERE_OPENSSL}
          --setup $<TARGET_FILE:setup> --work ${CMAKE_BINARY_DIR}/signing-test
          --info-url ${QUILLMERE_VENDOR_SITE})
set_tests_properties(setup_signing PROPERTIES TIMEOUT 300)
