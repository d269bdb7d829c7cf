// zel-profile's traces loaded by a browser performance panel's trace engine:
// every sample must come out as a slice of the engine's call trees, on its
// tile's thread, at its exact cycles.
//
// Run by CTest with node's test runner; the environment names the programs:
//   ZEL_PROFILE, ZEL_GEMM_RUNNER, WRITE_FIXTURE, and TRACE_CONSUMER_DIR, where
//   scripts/install-deps installed the engine (target/trace_consumer).
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {test} from 'node:test';

import {loadEngine, slicesKept as keptBy, slicesWritten} from './engine.mjs';

const {ZEL_PROFILE, ZEL_GEMM_RUNNER, WRITE_FIXTURE, TRACE_CONSUMER_DIR} = process.env;

const engine = await loadEngine(TRACE_CONSUMER_DIR);
const slicesKept = (trace) => keptBy(engine, trace);
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'trace-consumer-'));
process.on('exit', () => fs.rmSync(scratch, {recursive: true, force: true}));

function traceOf(profile, ...options) {
  const out = path.join(scratch, path.basename(profile) + '.json');
  execFileSync(ZEL_PROFILE, ['trace', profile, ...options, '-o', out]);
  return JSON.parse(fs.readFileSync(out, 'utf8'));
}

const sorted = (slices) => slices.map((s) => JSON.stringify(s)).sort();

test('every slice of the simulated GEMM profile is kept, at its exact cycles', async () => {
  const profile = path.join(scratch, 'gemm.capnp');
  execFileSync(ZEL_GEMM_RUNNER, [], {env: {...process.env, ZEL_PROFILE_OUTPUT: profile}});
  const trace = traceOf(profile);
  const written = slicesWritten(trace);
  assert.equal(written.length, 8384);
  assert.ok(trace.traceEvents.every((e) => e.cat !== undefined && e.tid >= 1));
  assert.ok(written.every(([, , start, end]) => Number.isInteger(start) && Number.isInteger(end)));
  assert.deepEqual(sorted(await slicesKept(trace)), sorted(written));
});

test('a window of the GEMM profile keeps the samples that overlap it, whole', async () => {
  const profile = path.join(scratch, 'gemm-window.capnp');
  execFileSync(ZEL_GEMM_RUNNER, [], {env: {...process.env, ZEL_PROFILE_OUTPUT: profile}});
  const all = slicesWritten(traceOf(profile));
  const [from, to] = [2000, 3000];
  const trace = traceOf(profile, '--from', `${from}`, '--to', `${to}`, '--tiles', '0-99,1000');
  const written = slicesWritten(trace);
  const tile = (name) => Number(name.split(' ')[1]);
  const expected = all.filter(([thread, , start, end]) => {
    const t = tile(thread);
    return (t < 100 || t === 1000) && start < to && (end === start ? start >= from : end > from);
  });
  assert.ok(written.length > 0 && written.length < all.length);
  assert.deepEqual(sorted(written), sorted(expected));
  assert.deepEqual(sorted(await slicesKept(trace)), sorted(written));
});

test('samples that overlap without nesting are kept on threads of their own', async () => {
  const profile = path.join(scratch, 'overlapping.capnp');
  execFileSync(WRITE_FIXTURE, ['overlapping', profile]);
  const trace = traceOf(profile);
  const written = slicesWritten(trace);
  assert.equal(written.length, 10);
  assert.deepEqual(new Set(written.map(([thread]) => thread)),
                   new Set(['tile 7', 'tile 7 (overlapping samples 2)']));
  assert.deepEqual(sorted(await slicesKept(trace)), sorted(written));
});
