# Sourced by the Windows CI: whether this machine's kernel executes i386
# programs. Some kernels are built without 32-bit support; there the 32-bit
# wine loader cannot start at all, and a program started through execvp
# (timeout, env) is even handed to /bin/sh, which fails with a syntax error
# that says nothing of the cause.

# i386_check LOADER: sets I386_OK to 1 when LOADER runs, to 0 with
# I386_WHY set to the kernel's answer when the kernel refuses its format.
# A loader that is missing or fails otherwise is a broken install: that
# fails here, not skipped.
i386_check() {
  local loader=$1 out rc=0
  I386_OK=1 I386_WHY=
  [[ -e $loader ]] || { echo "32-bit loader $loader not found"; return 1; }
  # bash itself reports ENOEXEC for a binary instead of passing it to sh.
  out=$(bash -c '"$0" --version' "$loader" 2>&1 </dev/null) || rc=$?
  if ((rc == 0)); then
    return 0
  fi
  if grep -q "Exec format error" <<<"$out"; then
    I386_OK=0
    I386_WHY=$(grep -m1 "Exec format error" <<<"$out")
    return 0
  fi
  echo "32-bit loader $loader failed ($rc): $out"
  return 1
}
