# Debian's own Python 3 (/usr/bin/python3), for the Python package's tests
# and wheel: an interpreter found first on PATH (pyenv, a virtualenv) lacks
# Debian's python3-pytest and python3-build.
#
#   VARNIK_PYTHON   the interpreter, or empty when there is none (the modules
#                   the tests need: cmake/VarnikTestTools.cmake)
find_program(VARNIK_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(VARNIK_PYTHON python3)
# One set to a program that does not exist is none.
if(NOT EXISTS "${VARNIK_PYTHON}")
  set(VARNIK_PYTHON "")
endif()
