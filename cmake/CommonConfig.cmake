# Compile settings shared by every target of the project.
add_library(quorvel_common INTERFACE)
target_compile_options(quorvel_common INTERFACE -Wall -Wextra -Wnon-virtual-dtor)
target_compile_definitions(quorvel_common INTERFACE
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_DISABLE_DEPRECATED_BEFORE=0x060000)

if(QUORVEL_SANITIZE)
    target_compile_options(quorvel_common INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(quorvel_common INTERFACE -fsanitize=address,undefined)
    # Tests that trade coverage for time under the sanitizers ask for this.
    target_compile_definitions(quorvel_common INTERFACE QUORVEL_SANITIZED)
endif()

# qt_add_resources for a static library, made safe for parallel builds with
# every generator: the object library Qt makes for the bundle must neither
# be scanned by AutoMoc (which would read qrc_<name>.cpp while rcc is still
# writing it) nor compile it before the rule that writes it has run. With
# the Makefile generator both happened ("AutoGen warning: ... qrc_SMND.cpp
# is empty"): the window came up without its pictures.
function(quorvel_add_resources target name)
    qt_add_resources(${target} ${name} ${ARGN} OUTPUT_TARGETS _objects)
    foreach(_object IN LISTS _objects)
        set_target_properties(${_object} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
        if(TARGET ${target}_${name})
            add_dependencies(${_object} ${target}_${name})
        endif()
    endforeach()
endfunction()

# The headers that most files of a library include, parsed once for the
# library instead of once for every file: Qt's headers are most of what a
# small file costs to compile (4.3 s down to 1.7 s for one of the core's),
# and each of CI's two builds compiles the three libraries' 120 files.
# -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON builds without them, which shows a
# file that forgot an include.
set(QUORVEL_COMMON_HEADERS
    <QByteArray> <QDebug> <QDir> <QFile> <QFileInfo> <QHash> <QJsonArray> <QJsonDocument> <QJsonObject>
    <QList> <QLoggingCategory> <QMetaType> <QObject> <QPointer> <QRegularExpression> <QSet> <QString>
    <QStringList> <QThreadPool> <QTimer> <QNetworkReply> <QNetworkRequest> <QtConcurrent/QtConcurrentRun>
    <algorithm> <atomic> <functional> <memory>)
function(quorvel_precompile_headers target)
    target_precompile_headers(${target} PRIVATE ${QUORVEL_COMMON_HEADERS} ${ARGN})
endfunction()
