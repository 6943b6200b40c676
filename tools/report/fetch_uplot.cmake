# Installs the chart library with `npm ci` from the checked-in lock file into
# the build tree. Run with -DSRC=<tools/report> -DDEST=<dir> -DSTAMP=<file>.
file(MAKE_DIRECTORY "${DEST}")
configure_file("${SRC}/package.json" "${DEST}/package.json" COPYONLY)
configure_file("${SRC}/package-lock.json" "${DEST}/package-lock.json" COPYONLY)
find_program(NPM npm)
if(NOT NPM)
  message(FATAL_ERROR "ordavi-report embeds the uPlot chart library from the npm registry, "
                      "but npm is not installed (run scripts/setup.sh).")
endif()
execute_process(
  COMMAND "${NPM}" ci --ignore-scripts --no-audit --no-fund --prefer-offline
  WORKING_DIRECTORY "${DEST}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(js "${DEST}/node_modules/uplot/dist/uPlot.iife.min.js")
if(NOT rc EQUAL 0 OR NOT EXISTS "${js}")
  message(FATAL_ERROR "ordavi-report: 'npm ci' could not install the uPlot chart library "
                      "(is the npm registry reachable?). The HTML report cannot be built "
                      "without it.\n${out}\n${err}")
endif()
file(TOUCH "${STAMP}")
