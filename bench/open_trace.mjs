// Opens a trace with the trace engine of a browser's performance panel, as a
// person would open a window of a large profile, and says what it kept:
//   node bench/open_trace.mjs TRACE.json
// TRACE_CONSUMER_DIR names where scripts/install-deps installed the engine
// (default target/trace_consumer). Exit status 1 when a slice is lost.
import fs from 'node:fs';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

import {loadEngine, slicesKept, slicesWritten} from '../tools/tests/trace_consumer/engine.mjs';

const root = path.join(path.dirname(fileURLToPath(import.meta.url)), '..');
const dir = process.env.TRACE_CONSUMER_DIR ?? path.join(root, 'target', 'trace_consumer');
const file = process.argv[2];
const started = Date.now();
const trace = JSON.parse(fs.readFileSync(file, 'utf8'));
const engine = await loadEngine(dir);
const kept = await slicesKept(engine, trace);
const written = slicesWritten(trace);
const threads = new Set(kept.map(([thread]) => thread)).size;
const seconds = ((Date.now() - started) / 1000).toFixed(1);
console.log(`trace consumer: opened ${path.basename(file)} in ${seconds} s: ` +
            `${kept.length} of ${written.length} slices kept, on ${threads} threads`);
process.exitCode = kept.length === written.length ? 0 : 1;
