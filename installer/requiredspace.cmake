# cmake -DOUT=requiredspace.h -DFILES="a;b" -P requiredspace.cmake: the
# installer's required space is the bytes of the files it carries.
set(total 0)
foreach(f ${FILES})
  file(SIZE "${f}" size)
  math(EXPR total "${total} + ${size}")
endforeach()
set(text "// Made by the build: the bytes of the files in the cabinet.\nconst DWORD SetupRequiredSpace = ${total};\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE "${OUT}" "${text}")
endif()
