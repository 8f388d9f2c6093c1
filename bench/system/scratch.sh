# Sourced by the system benchmarks: a scratch folder $run named after $1, and $pids, the programs a run
# started; on exit they are all ended and the folder goes.
run=$(mktemp -d "/tmp/$1.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$run"
}
trap cleanup EXIT
