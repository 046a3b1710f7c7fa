# Fails when a file of src/ includes a header of a folder its layer must not
# depend on: shell -> editor -> scheduler -> engine/store -> platform, and the
# runner beside the window. Run as `cmake -DSRC=<src folder> -P layers.cmake`.
set(forbidden
  "platform:engine|store|scheduler|editor|shell|cli"
  "engine:store|scheduler|editor|shell|cli"
  "store:engine|scheduler|editor|shell|cli"
  "scheduler:editor|shell|cli"
  "editor:shell|cli"
  "cli:shell|editor")
set(crossings "")
foreach(rule IN LISTS forbidden)
  string(REPLACE ":" ";" parts "${rule}")
  list(GET parts 0 layer)
  list(GET parts 1 others)
  file(GLOB_RECURSE files "${SRC}/${layer}/*.h" "${SRC}/${layer}/*.cpp")
  foreach(f IN LISTS files)
    file(STRINGS "${f}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"(${others})/")
    foreach(line IN LISTS lines)
      file(RELATIVE_PATH rel "${SRC}" "${f}")
      string(APPEND crossings "  ${rel}: ${line}\n")
    endforeach()
  endforeach()
endforeach()
# A path up out of the file's folder would get round the include roots.
file(GLOB_RECURSE files "${SRC}/*.h" "${SRC}/*.cpp")
foreach(f IN LISTS files)
  file(STRINGS "${f}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"\\.\\./")
  foreach(line IN LISTS lines)
    file(RELATIVE_PATH rel "${SRC}" "${f}")
    string(APPEND crossings "  ${rel}: ${line}\n")
  endforeach()
endforeach()
if(crossings)
  message(FATAL_ERROR "includes that cross a layer the architecture forbids:\n${crossings}")
endif()
