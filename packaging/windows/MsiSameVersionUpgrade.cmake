# Run after wixl on an MSI (cmake -DMSI=<file> -DWORK=<scratch folder> -P MsiSameVersionUpgrade.cmake):
# makes the MSI's upgrade row include its own version, so that the other width's MSI of the same
# version, which shares the UpgradeCode, is removed by this one's install instead of staying
# registered beside it. wixl 0.101 knows no AllowSameVersionUpgrades and writes the row with an
# exclusive maximum (Attributes 1: migrate features); 513 adds msidbUpgradeAttributesVersionMaxInclusive.
# libmsi's UPDATE fails on this table, so the table is exported, edited and imported again.
execute_process(COMMAND msiinfo export "${MSI}" Upgrade OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "msiinfo export ${MSI} Upgrade failed")
endif()
string(REGEX REPLACE "\t1\t\tWIX_UPGRADE_DETECTED" "\t513\t\tWIX_UPGRADE_DETECTED" patched "${table}")
if(patched STREQUAL table)
  message(FATAL_ERROR "${MSI}: no upgrade row with Attributes 1 (has wixl changed?):\n${table}")
endif()
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/Upgrade.idt" "${patched}")
execute_process(COMMAND msibuild "${MSI}" -i "${WORK}/Upgrade.idt" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "msibuild ${MSI} -i Upgrade.idt failed")
endif()
