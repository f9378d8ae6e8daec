# SPDX-License-Identifier: Apache-2.0
# The desktop program: a Qt window over the core. Everything Qt is built
# here, so the core and nimbreld stay free of it.

find_package(Qt6 REQUIRED COMPONENTS Widgets Svg Network Test)

set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTOUIC ON)
set(CMAKE_AUTORCC ON)
set(CMAKE_AUTOUIC_SEARCH_PATHS ${CMAKE_CURRENT_SOURCE_DIR}/res)

# By layer: widgets/ (views and small controls), dialogs/ (over widgets),
# window/ (the main window and the program, over both).
file(GLOB NIMBREL_GUI_SOURCES CONFIGURE_DEPENDS
    gui/widgets/*.cpp gui/widgets/*.h
    gui/dialogs/*.cpp gui/dialogs/*.h
    gui/window/*.cpp gui/window/*.h
    res/*.ui
)
list(FILTER NIMBREL_GUI_SOURCES EXCLUDE REGEX "/gui/window/main\\.cpp$")
list(APPEND NIMBREL_GUI_SOURCES res/nimbrel.qrc)

add_library(nimbrel_gui STATIC ${NIMBREL_GUI_SOURCES})
target_include_directories(nimbrel_gui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(nimbrel_gui PUBLIC nimbrel_core Qt6::Widgets Qt6::Svg Qt6::Network)

add_executable(nimbrel gui/window/main.cpp)
target_link_libraries(nimbrel PRIVATE nimbrel_gui)

# Qt Test programs, one per subject, on the offscreen platform, each with
# a lock file of its own so that they never meet a running copy, and a
# window state file of its own so that they never touch the user's. The
# offscreen screen is a desktop's, 1920 x 1200 (its own default, 800 x 600,
# is smaller than a window at 1.5 times the font); at a device pixel ratio
# of 2 it has twice the pixels.
foreach(NIMBREL_SCALE 1 2)
    math(EXPR NIMBREL_SCREEN_W "1920 * ${NIMBREL_SCALE}")
    math(EXPR NIMBREL_SCREEN_H "1200 * ${NIMBREL_SCALE}")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/offscreen-${NIMBREL_SCALE}x.json
        "{ \"screens\": [ { \"name\": \"Desktop\", \"x\": 0, \"y\": 0, \"width\": ${NIMBREL_SCREEN_W}, \"height\": ${NIMBREL_SCREEN_H}, \"logicalDpi\": 96, \"logicalBaseDpi\": 96 } ] }\n")
endforeach()
set(NIMBREL_OFFSCREEN "offscreen:configfile=${CMAKE_CURRENT_BINARY_DIR}/offscreen-1x.json")
set(NIMBREL_OFFSCREEN_DPR2 "offscreen:configfile=${CMAKE_CURRENT_BINARY_DIR}/offscreen-2x.json")
file(GLOB_RECURSE NIMBREL_QTEST_SOURCES CONFIGURE_DEPENDS tests/*QTest.cpp)
foreach(NIMBREL_QTEST_SOURCE ${NIMBREL_QTEST_SOURCES})
    get_filename_component(NIMBREL_QTEST ${NIMBREL_QTEST_SOURCE} NAME_WE)
    add_executable(${NIMBREL_QTEST} ${NIMBREL_QTEST_SOURCE})
    target_link_libraries(${NIMBREL_QTEST} PRIVATE nimbrel_gui Qt6::Test)
    # Debian's Qt synchronises its threads with futexes ThreadSanitizer
    # cannot see, so every hand-over through Qt's event queue would read as
    # a race: under TSan the window's tests are built, not run. The shared
    # sent-task logic (CSendGate) runs under TSan through the task loop.
    if(NOT NIMBREL_TSAN)
        add_test(NAME ${NIMBREL_QTEST} COMMAND ${NIMBREL_QTEST})
        set_tests_properties(${NIMBREL_QTEST} PROPERTIES
            ENVIRONMENT "QT_QPA_PLATFORM=${NIMBREL_OFFSCREEN};NIMBREL_LOCK_FILE=${CMAKE_CURRENT_BINARY_DIR}/${NIMBREL_QTEST}.lock;NIMBREL_WINDOW_STATE=${CMAKE_CURRENT_BINARY_DIR}/${NIMBREL_QTEST}.window.ini"
            TIMEOUT 120)
    endif()
endforeach()
# The layouts once more at a device pixel ratio of 2.
if(NOT NIMBREL_TSAN)
    add_test(NAME CWindowLayoutsQTest_dpr2 COMMAND CWindowLayoutsQTest)
    add_test(NAME COmbraCtrlDlgQTest_dpr2 COMMAND COmbraCtrlDlgQTest StartSizeShowsEveryColumn)
    foreach(NIMBREL_QTEST CWindowLayoutsQTest_dpr2 COmbraCtrlDlgQTest_dpr2)
        set_tests_properties(${NIMBREL_QTEST} PROPERTIES
            ENVIRONMENT "QT_QPA_PLATFORM=${NIMBREL_OFFSCREEN_DPR2};QT_SCALE_FACTOR=2;NIMBREL_LOCK_FILE=${CMAKE_CURRENT_BINARY_DIR}/${NIMBREL_QTEST}.lock;NIMBREL_WINDOW_STATE=${CMAKE_CURRENT_BINARY_DIR}/${NIMBREL_QTEST}.window.ini"
            TIMEOUT 120)
    endforeach()
endif()

# The window's measurement (bench/window.sh), run by hand; never part of
# the test run.
add_executable(nimbrel_bench_window bench/WindowBench.cpp)
target_link_libraries(nimbrel_bench_window PRIVATE nimbrel_gui)

# The README's picture of the window (tools/WindowShot.cpp says how).
add_executable(nimbrel_window_shot tools/WindowShot.cpp)
target_link_libraries(nimbrel_window_shot PRIVATE nimbrel_gui)
