# Packaging of the Windows programs (i686 and x86_64 builds): the native pack
# tool appends the archives the programs read at run time, and every
# deliverable is signed (scripts/sign.sh) before it is packed into the next:
#   packaged/Kobaru_ScreenSaver_Cleaner_RA.exe  the elevated cleaner, signed
#   packaged/Kobaru_Senryu_2014.scr             the screen saver, signed here
#                                               unless it came signed (then
#                                               as it came)
#   packaged/Kobaru_ScreenSaver_Cleaner.exe     uninstaller + the signed
#                                               cleaner, signed
#   packaged/Inst_Kobaru_ScreenSaver_RA.exe     installer + the screen saver
#                                               + the signed uninstaller, signed
#   packaged/unsigned/                          the two packed before signing
# The archives use the header word: a signature goes behind the file and
# leaves the word intact, where it would hide a trailer. Every packaged file
# is checked with the tool's verify after signing.
set(KOBARU_PACK_TOOL "" CACHE FILEPATH "The native pack tool, kobaru-pack")
set(KOBARU_SCREEN_SAVER "" CACHE FILEPATH "Screen saver to package (default: the sample)")
set(KOBARU_SIGN_TEST_DIR ${CMAKE_BINARY_DIR}/test-certificate CACHE PATH
  "Where the throwaway test certificate is made when no publisher's certificate is given")

if(KOBARU_PACK_TOOL)
  if(KOBARU_SCREEN_SAVER)
    set(KOBARU_SCREEN_SAVER_FILE ${KOBARU_SCREEN_SAVER})
    # A screen saver given here is checked as ./dist.sh checks one: a
    # complete 32-bit Windows GUI program, not a DLL.
    set(check_script ${PROJECT_SOURCE_DIR}/scripts/check_screen_saver.py)
    set(check_screen_saver COMMAND /usr/bin/python3 ${check_script} ${KOBARU_SCREEN_SAVER})
  else()
    set(KOBARU_SCREEN_SAVER_FILE $<TARGET_FILE:sample_scr>)
  endif()
  set(out ${CMAKE_BINARY_DIR}/packaged)
  set(sign ${PROJECT_SOURCE_DIR}/scripts/sign.sh)

  # Who signs is read from the environment at every build (KOBARU_SIGN_*,
  # SOURCE_DATE_EPOCH); the state file changes only when that changes.
  set(KOBARU_SIGN_STATE ${CMAKE_BINARY_DIR}/signing/state)
  add_custom_target(signing_state
    COMMAND ${sign} identity ${KOBARU_SIGN_STATE} ${KOBARU_SIGN_TEST_DIR} ${PROJECT_SOURCE_DIR}
    BYPRODUCTS ${KOBARU_SIGN_STATE}
    COMMENT "Choosing the signing certificate")

  set(KOBARU_SIGNED_CLEANER ${out}/Kobaru_ScreenSaver_Cleaner_RA.exe)
  set(cleaner_signed ${KOBARU_SIGNED_CLEANER})
  add_custom_command(OUTPUT ${cleaner_signed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${sign} sign ${KOBARU_SIGN_STATE} $<TARGET_FILE:cleaner> ${cleaner_signed}
            "Kobaru Screen Saver Uninstaller"
    DEPENDS cleaner signing_state ${KOBARU_SIGN_STATE} ${sign}
    COMMENT "Signing the cleaner")

  # A screen saver that carries a signature is its publisher's: kept as it
  # is. An unsigned one is signed like the programs.
  set(KOBARU_PACKED_SCREEN_SAVER ${out}/Kobaru_Senryu_2014.scr)
  set(screen_saver_signed ${KOBARU_PACKED_SCREEN_SAVER})
  add_custom_command(OUTPUT ${screen_saver_signed}
    ${check_screen_saver}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${sign} keep-or-sign ${KOBARU_SIGN_STATE} ${KOBARU_SCREEN_SAVER_FILE} ${screen_saver_signed}
            "Kobaru Screen Saver"
    DEPENDS sample_scr ${KOBARU_SCREEN_SAVER} ${check_script} signing_state ${KOBARU_SIGN_STATE} ${sign}
    COMMENT "Signing the screen saver")

  set(uninstaller_unsigned ${out}/unsigned/Kobaru_ScreenSaver_Cleaner.exe)
  set(uninstaller ${out}/Kobaru_ScreenSaver_Cleaner.exe)
  add_custom_command(OUTPUT ${uninstaller_unsigned}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}/unsigned
    COMMAND ${KOBARU_PACK_TOOL} append --version pf2 -o ${uninstaller_unsigned}
            $<TARGET_FILE:uninstaller> --entry Kobaru_ScreenSaver_Cleaner_RA.exe=${cleaner_signed}
    DEPENDS uninstaller ${cleaner_signed} ${KOBARU_PACK_TOOL}
    COMMENT "Packaging the uninstaller")
  add_custom_command(OUTPUT ${uninstaller}
    COMMAND ${sign} sign ${KOBARU_SIGN_STATE} ${uninstaller_unsigned} ${uninstaller}
            "Kobaru Screen Saver Uninstaller"
    COMMAND ${KOBARU_PACK_TOOL} verify ${uninstaller} --expect Kobaru_ScreenSaver_Cleaner_RA.exe
    DEPENDS ${uninstaller_unsigned} signing_state ${KOBARU_SIGN_STATE} ${sign}
    COMMENT "Signing the uninstaller")

  set(installer_unsigned ${out}/unsigned/Inst_Kobaru_ScreenSaver_RA.exe)
  set(installer ${out}/Inst_Kobaru_ScreenSaver_RA.exe)
  add_custom_command(OUTPUT ${installer_unsigned}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}/unsigned
    COMMAND ${KOBARU_PACK_TOOL} append --version pf2 -o ${installer_unsigned} $<TARGET_FILE:installer>
            --entry Kobaru_Senryu_2014.scr=${screen_saver_signed}
            --entry Kobaru_ScreenSaver_2014_Cleaner.exe=${uninstaller}
    DEPENDS installer ${screen_saver_signed} ${uninstaller} ${KOBARU_PACK_TOOL}
    COMMENT "Packaging the installer")
  add_custom_command(OUTPUT ${installer}
    COMMAND ${sign} sign ${KOBARU_SIGN_STATE} ${installer_unsigned} ${installer}
            "Kobaru Screen Saver Installer"
    COMMAND ${KOBARU_PACK_TOOL} verify ${installer}
            --expect Kobaru_Senryu_2014.scr --expect Kobaru_ScreenSaver_2014_Cleaner.exe
    DEPENDS ${installer_unsigned} signing_state ${KOBARU_SIGN_STATE} ${sign}
    COMMENT "Signing the installer")
  add_custom_target(packaged ALL DEPENDS ${installer} ${uninstaller} ${cleaner_signed} ${screen_saver_signed})
endif()
