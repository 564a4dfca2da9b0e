# A version resource for each binary we ship, made from the project version at
# configure time and compiled by windres. Windows shows it in the file's
# properties, and the module reads it back like any other executable's: the
# agent's own process then reports our description and company.

set(KORVA_COMPANY_NAME "Korva Labs")
set(KORVA_PRODUCT_NAME "korvaProc")
# FileDescription per target; the Wine tests expect the same texts.
set(KORVA_DESCRIPTION_korvaProc "Korva process inventory module")
set(KORVA_DESCRIPTION_rynUtil "Korva agent utility library")
set(KORVA_DESCRIPTION_korvaNetWork "Korva agent network library")
set(KORVA_DESCRIPTION_korvaAgentHost "Korva agent host")
set(KORVA_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

#   korva_add_version_resource(<target>)
# after the target's PREFIX is set; its description is KORVA_DESCRIPTION_<target>.
function(korva_add_version_resource target)
    set(KORVA_RC_DESCRIPTION "${KORVA_DESCRIPTION_${target}}")
    if(KORVA_RC_DESCRIPTION STREQUAL "")
        message(FATAL_ERROR "${target}: set KORVA_DESCRIPTION_${target} first")
    endif()
    get_target_property(type ${target} TYPE)
    get_target_property(prefix ${target} PREFIX)
    if(type STREQUAL "EXECUTABLE")
        set(KORVA_RC_FILE_TYPE VFT_APP)
        set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
        set(prefix "")
    elseif(type STREQUAL "SHARED_LIBRARY")
        set(KORVA_RC_FILE_TYPE VFT_DLL)
        set(suffix ${CMAKE_SHARED_LIBRARY_SUFFIX})
        if(prefix STREQUAL "prefix-NOTFOUND")
            set(prefix ${CMAKE_SHARED_LIBRARY_PREFIX})
        endif()
    else()
        message(FATAL_ERROR "${target}: only programs and DLLs carry a version resource")
    endif()
    set(KORVA_RC_NAME ${prefix}${target})
    set(KORVA_RC_FILE_NAME ${KORVA_RC_NAME}${suffix})
    set(rc ${CMAKE_BINARY_DIR}/version-resources/${target}.rc)
    configure_file(${KORVA_VERSION_RC_TEMPLATE} ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
