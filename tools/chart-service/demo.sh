#!/usr/bin/env bash
# Writes the demo cards and runs the local chart service in the foreground,
# for trying the tool by hand:
#   tools/chart-service/demo.sh [path to quorvel-chart-service]
# Environment: DEMO_DIR (default ~/quorvel-demo), PORT (default 8686),
# TLS_PORT (default PORT + 1).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../../build/tools/chart-service/quorvel-chart-service}
dir=${DEMO_DIR:-$HOME/quorvel-demo}
port=${PORT:-8686}
tls_port=${TLS_PORT:-$((port + 1))}

mkdir -p "$dir"
"$bin" make-card "$dir/velmora-card" --kind velmora
"$bin" make-card "$dir/talvo-card" --kind talvo
"$bin" make-card "$dir/rq-card" --kind rq
"$bin" make-card "$dir/new-rq-card" --kind rq --sku 123456-2 --media-id QNEW-RQ-0001 --segment-sizes 262144,50000
"$bin" make-card "$dir/lost-rq-card" --kind blank --media-id QDEMO-RQ-LOST
"$bin" make-card "$dir/blank-card" --kind blank

cat <<TEXT
Demo cards in $dir: velmora-card, talvo-card, rq-card (update), new-rq-card
(registration), lost-rq-card (restoration), blank-card.
Sign in as demo@quorvel.test / Demo-Pass-2024. Run the tool with
  QUORVEL_SERVICE_URL=http://127.0.0.1:$port
or over HTTPS with
  QUORVEL_SERVICE_URL=https://127.0.0.1:$tls_port QUORVEL_EXTRA_CA_FILE=$dir/tls/ca.pem
Bindings are kept in $dir/state.json; delete it to start over.
TEXT
exec "$bin" --port "$port" --state "$dir/state.json" --tls-dir "$dir/tls" --tls-port "$tls_port"
