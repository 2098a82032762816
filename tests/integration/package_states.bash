# What scripts/killsweep and scripts/powercut share (sourced after http_helpers.bash): the
# packages and data sets of their operations, the operations themselves, and the stored
# state as hashes, so that "wholly old or wholly new" is a comparison of two lines.

# make_state_packages: in $work, victim 1.0 (the old version) with its local data
# ($work/src/old), victim 2.0 (other files, and a local data file of its own), fresh (a
# package not installed yet) and an archive of other local data.
make_state_packages() {
  local src=$work/src
  mkdir -p "$src/v1/lib" "$src/v2/lib/deep" "$src/v2/localdata" "$src/fresh" "$src/data/images" "$src/old/images"
  manifest() { printf '{"package_name": "%s", "package_menu_name": "M", "package_version": "%s", "vendor": "T"}\n' "$1" "$2"; }
  manifest victim 1.0 >"$src/v1/manifest.json"
  echo '// version 1' >"$src/v1/main.js"
  for i in 1 2 3; do head -c 20000 /dev/urandom >"$src/v1/lib/old$i.bin"; done
  manifest victim 2.0 >"$src/v2/manifest.json"
  echo '// version 2' >"$src/v2/main.js"
  for i in 1 2 3 4; do head -c 30000 /dev/urandom >"$src/v2/lib/deep/new$i.bin"; done
  echo shipped >"$src/v2/localdata/shipped.txt"
  manifest fresh 1.0 >"$src/fresh/manifest.json"
  echo '// fresh' >"$src/fresh/main.js"
  head -c 50000 /dev/urandom >"$src/fresh/blob.bin"
  echo '{"imported": true}' >"$src/data/settings.json"
  for i in 1 2 3; do head -c 40000 /dev/urandom >"$src/data/images/i$i.jpg"; done
  echo '{"old": true}' >"$src/old/settings.json"
  for i in 1 2; do head -c 60000 /dev/urandom >"$src/old/images/o$i.jpg"; done
  echo state >"$src/old/state.txt"
  local name
  for name in v1 v2 fresh data; do (cd "$src/$name" && zip -qr "$work/$name.zip" .); done
}
new_settings='{"new": "settings", "n": 2}'

# install_victim: victim 1.0 on FLASH with the old local data, through the API.
install_victim() {
  install "storage=FLASH" "$work/v1.zip"
  expect_eq "$status" 200 "install of victim 1.0 ($body)"
  rm -rf "$flash_root/victim/localdata" && cp -a "$work/src/old" "$flash_root/victim/localdata"
}

# run_operation NAME: one of reinstall, move (a re-install without storage: to the SD card), install,
# import, settings, remove, on victim (or fresh); the answer is not looked at.
run_operation() {
  case $1 in
    reinstall) curl -s -m 60 -o /dev/null -F "file=@$work/v2.zip" "$api/package/install.cgi?storage=FLASH" ;;
    move) curl -s -m 60 -o /dev/null -F "file=@$work/v2.zip" "$api/package/install.cgi?storage=" ;;
    install) curl -s -m 60 -o /dev/null -F "file=@$work/fresh.zip" "$api/package/install.cgi?storage=SD_DISK" ;;
    import) curl -s -m 60 -o /dev/null -F "file=@$work/data.zip" "$api/package/data.cgi?package_name=victim&action=IMPORT" ;;
    settings) curl -s -m 60 -o /dev/null --data-binary "$new_settings" -H 'Content-Type: application/json' \
      "$api/package/settings.cgi?package_name=victim&action=set" ;;
    remove) curl -s -m 60 -o /dev/null "$api/package/remove.cgi?package_name=victim" ;;
  esac || true
}

# tree_hash DIR [PRUNE]: one hash of the names, types and contents below DIR, without the
# entry PRUNE of DIR; "none" when DIR is missing.
tree_hash() {
  [ -d "$1" ] || { echo none; return; }
  (
    cd "$1"
    find . ${2:+-path "./$2" -prune -o} -printf '%y %p\n' | LC_ALL=C sort
    find . ${2:+-path "./$2" -prune -o} -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum
  ) | sha256sum | cut -c1-16
}

# state: victim's tree and local data on both storages and fresh's tree, as hashes, below
# $flash_root and $sd_root.
state() {
  echo "FLASH victim $(tree_hash "$flash_root/victim" localdata) data $(tree_hash "$flash_root/victim/localdata")," \
    "SD victim $(tree_hash "$sd_root/victim" localdata) data $(tree_hash "$sd_root/victim/localdata")," \
    "SD fresh $(tree_hash "$sd_root/fresh")"
}
