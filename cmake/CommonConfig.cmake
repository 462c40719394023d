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
