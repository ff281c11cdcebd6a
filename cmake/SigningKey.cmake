# Turns keys/signing-key-parts.txt into the signer's two key tables, so the
# key itself never stands in the source as one literal.
function(tavrensil_signing_key_header source output)
  file(STRINGS ${source} lines REGEX "^[AB]=")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^([AB])=([0-9a-fA-F]+)$" ok "${line}")
    if(NOT ok)
      message(FATAL_ERROR "${source}: malformed line '${line}'")
    endif()
    set(name ${CMAKE_MATCH_1})
    set(hex ${CMAKE_MATCH_2})
    string(LENGTH "${hex}" len)
    if(NOT len EQUAL 64)
      message(FATAL_ERROR "${source}: part ${name} must be 64 hexadecimal digits")
    endif()
    string(REGEX REPLACE "([0-9a-fA-F][0-9a-fA-F])" "0x\\1, " bytes "${hex}")
    string(REGEX REPLACE ", $" "" bytes "${bytes}")
    set(part_${name} "${bytes}")
  endforeach()
  if(NOT DEFINED part_A OR NOT DEFINED part_B)
    message(FATAL_ERROR "${source}: needs an A= and a B= line")
  endif()
  file(CONFIGURE OUTPUT ${output} CONTENT
"// Generated from keys/signing-key-parts.txt; do not edit.
static const uint8_t kKeyPartA[32] = {${part_A}};
static const uint8_t kKeyPartB[32] = {${part_B}};
")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()
