#!/bin/sh
# A scripted pinentry for the tests: it speaks the Assuan protocol as
# pinentry does, answers GETPIN with KEYLOOM_TEST_PIN (or cancels when that
# is "cancel") and appends each description it is shown to
# KEYLOOM_TEST_PROMPTS.
echo "OK Pleased to meet you"
while IFS= read -r line; do
  case "$line" in
    SETDESC*) printf '%s\n' "${line#SETDESC }" >>"${KEYLOOM_TEST_PROMPTS:-/dev/null}"; echo OK ;;
    GETPIN)
      if [ "$KEYLOOM_TEST_PIN" = cancel ]; then
        echo "ERR 83886179 Operation cancelled <Pinentry>"
      else
        echo "D $KEYLOOM_TEST_PIN"
        echo OK
      fi ;;
    BYE) echo "OK closing connection"; exit 0 ;;
    *) echo OK ;;
  esac
done
