# Makes five sample version 1 statistics files in DIRECTORY/trans, runs the
# converter there with no arguments, and shows what it left with statinfo;
# then reverts one of them and shows it again.
#   cmake -DCONVERTER=... -DSTATINFO=... -DREVERTER=... -DSAMPLES=.../samples.py -DDIRECTORY=...
#         -P demo.cmake
find_package(Python3 REQUIRED COMPONENTS Interpreter)
file(REMOVE_RECURSE ${DIRECTORY})
file(MAKE_DIRECTORY ${DIRECTORY})
execute_process(COMMAND ${Python3_EXECUTABLE} ${SAMPLES} builtin ${DIRECTORY}
                COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Running ${CONVERTER} with no arguments in ${DIRECTORY}")
execute_process(COMMAND ${CONVERTER} WORKING_DIRECTORY ${DIRECTORY} RESULT_VARIABLE status)
message(STATUS "Exit status ${status} (1: the last file was converted)")
file(GLOB left RELATIVE ${DIRECTORY} ${DIRECTORY}/trans/*)
list(SORT left)
message(STATUS "What statinfo says of the files left:")
execute_process(COMMAND ${STATINFO} ${left} WORKING_DIRECTORY ${DIRECTORY})
message(STATUS "Reverting trans/collstat with ${REVERTER}, then what statinfo says of it:")
execute_process(COMMAND ${REVERTER} trans/collstat WORKING_DIRECTORY ${DIRECTORY})
execute_process(COMMAND ${STATINFO} trans/collstat WORKING_DIRECTORY ${DIRECTORY})
