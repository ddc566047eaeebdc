# Services the tests talk to, started for one test run and stopped after it.
# Sourced by scripts/test.sh.
qov_services_start() { :; }
qov_services_stop() { :; }
