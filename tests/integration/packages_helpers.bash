# Helpers of the package runtime's end-to-end tests (sourced after lib.sh).
flash_root=$orvane_app_dir/localdata/packages/
test_packages=$top/tests/integration/packages

install_package() {
  mkdir -p "$flash_root"
  cp -r "$test_packages/$1" "$flash_root$1"
}

# enable_packages JSON: sets PackageConfigurations through VAPIX, as the web interface does.
enable_packages() { expect_eq "$(vapix_set orvane.PackageConfigurations "$1")" OK "VAPIX update of PackageConfigurations"; }

# package_pid LOG NAME: the process id NAME reported last ("NAME: pid N").
package_pid() { grep -oE "\] $2: pid [0-9]+$" "$1" | tail -1 | grep -oE '[0-9]+$'; }

count_lines() { grep -cE -- "$2" "$1" || true; }

package_api() { curl -s "http://127.0.0.1:22520/package/$1"; }
