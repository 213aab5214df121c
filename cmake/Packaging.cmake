# Packaging of the Windows programs (i686 and x86_64 builds): the native pack
# tool appends the archives the programs read at run time.
#   packaged/Kobaru_ScreenSaver_Cleaner.exe   uninstaller + the elevated cleaner
#   packaged/Inst_Kobaru_ScreenSaver_RA.exe   installer + the screen saver
#                                             + the packaged uninstaller
# Every packaged file is checked with the tool's verify.
set(KOBARU_PACK_TOOL "" CACHE FILEPATH "The native pack tool, kobaru-pack")
set(KOBARU_SCREEN_SAVER "" CACHE FILEPATH "Screen saver to package (default: the sample)")

if(KOBARU_PACK_TOOL)
  if(KOBARU_SCREEN_SAVER)
    set(screen_saver ${KOBARU_SCREEN_SAVER})
  else()
    set(screen_saver $<TARGET_FILE:sample_scr>)
  endif()
  set(out ${CMAKE_BINARY_DIR}/packaged)
  set(uninstaller ${out}/Kobaru_ScreenSaver_Cleaner.exe)
  add_custom_command(OUTPUT ${uninstaller}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${KOBARU_PACK_TOOL} append --version pf2 -o ${uninstaller} $<TARGET_FILE:uninstaller>
            --entry Kobaru_ScreenSaver_Cleaner_RA.exe=$<TARGET_FILE:cleaner>
    COMMAND ${KOBARU_PACK_TOOL} verify ${uninstaller} --expect Kobaru_ScreenSaver_Cleaner_RA.exe
    DEPENDS uninstaller cleaner ${KOBARU_PACK_TOOL}
    COMMENT "Packaging the uninstaller")

  set(installer ${out}/Inst_Kobaru_ScreenSaver_RA.exe)
  add_custom_command(OUTPUT ${installer}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${KOBARU_PACK_TOOL} append --version pf2 -o ${installer} $<TARGET_FILE:installer>
            --entry Kobaru_Senryu_2014.scr=${screen_saver}
            --entry Kobaru_ScreenSaver_2014_Cleaner.exe=${uninstaller}
    COMMAND ${KOBARU_PACK_TOOL} verify ${installer}
            --expect Kobaru_Senryu_2014.scr --expect Kobaru_ScreenSaver_2014_Cleaner.exe
    DEPENDS installer sample_scr ${KOBARU_SCREEN_SAVER} ${uninstaller} ${KOBARU_PACK_TOOL}
    COMMENT "Packaging the installer")
  add_custom_target(packaged ALL DEPENDS ${installer} ${uninstaller})
endif()
