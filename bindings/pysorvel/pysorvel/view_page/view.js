// The live view: a skeleton whose segments turn with their trackers (or, once calibrated, the
// wearer's pose as the server solved it), a table of the trackers' links, the record and the
// calibration buttons. Poses arrive as server-sent events, 60 a second.
"use strict";

// Parents before children. attach: where the segment's joint sits in its parent's frame;
// bone: the segment from its joint, in its own frame; metres, standing in a T-pose facing +z.
const SKELETON = [
  { part: "Hips", parent: null, attach: [0, 0.95, 0], bone: [0, 0.22, 0], shape: "box", size: 0.12 },
  { part: "Chest", parent: "Hips", attach: [0, 0.22, 0], bone: [0, 0.33, 0], shape: "box", size: 0.14 },
  { part: "Head", parent: "Chest", attach: [0, 0.36, 0], bone: [0, 0.22, 0], shape: "ball", size: 0.1 },
  ...limbs("Left", 1),
  ...limbs("Right", -1),
];

function limbs(side, x) {
  return [
    { part: side + "UpperArm", parent: "Chest", attach: [0.19 * x, 0.3, 0], bone: [0.28 * x, 0, 0], size: 0.045 },
    { part: side + "LowerArm", parent: side + "UpperArm", attach: [0.28 * x, 0, 0], bone: [0.25 * x, 0, 0], size: 0.04 },
    { part: side + "Hand", parent: side + "LowerArm", attach: [0.25 * x, 0, 0], bone: [0.1 * x, 0, 0], size: 0.035 },
    { part: side + "UpperLeg", parent: "Hips", attach: [0.1 * x, 0, 0], bone: [0, -0.44, 0], size: 0.065 },
    { part: side + "LowerLeg", parent: side + "UpperLeg", attach: [0, -0.44, 0], bone: [0, -0.43, 0], size: 0.05 },
    { part: side + "Foot", parent: side + "LowerLeg", attach: [0, -0.43, 0], bone: [0, -0.04, 0.17], size: 0.045 },
  ];
}

const COLOURS = { Left: 0x4aa3ff, Right: 0xffb347, centre: 0xb8c2cc, lost: 0xff4d4d };
const TABLE_INTERVAL_MS = 100;

const sceneElement = document.getElementById("scene");
const renderer = new THREE.WebGLRenderer({ antialias: true });
renderer.setPixelRatio(window.devicePixelRatio);
sceneElement.appendChild(renderer.domElement);

const scene = new THREE.Scene();
scene.background = new THREE.Color(0x1b1e24);
scene.add(new THREE.HemisphereLight(0xffffff, 0x404040, 0.9));
const sun = new THREE.DirectionalLight(0xffffff, 0.6);
sun.position.set(2, 4, 3);
scene.add(sun);
scene.add(new THREE.GridHelper(4, 16, 0x555a66, 0x33373f));

const camera = new THREE.PerspectiveCamera(45, 1, 0.05, 50);
camera.position.set(0.9, 1.4, 3.2);
const controls = new THREE.OrbitControls(camera, renderer.domElement);
controls.target.set(0, 0.95, 0);
controls.update();

function resize() {
  const width = sceneElement.clientWidth;
  const height = sceneElement.clientHeight;
  renderer.setSize(width, height);
  camera.aspect = width / Math.max(1, height);
  camera.updateProjectionMatrix();
}
window.addEventListener("resize", resize);
resize();

// One node per body part, at its joint; paired parts carry a visible segment.
const nodes = new Map();
for (const spec of SKELETON) {
  const node = new THREE.Group();
  const side = spec.part.startsWith("Left") ? "Left" : spec.part.startsWith("Right") ? "Right" : "centre";
  const material = new THREE.MeshLambertMaterial({ color: COLOURS[side], transparent: true });
  const mesh = new THREE.Mesh(geometryOf(spec), material);
  const bone = new THREE.Vector3(...spec.bone);
  const length = bone.length();
  mesh.quaternion.setFromUnitVectors(new THREE.Vector3(0, 1, 0), bone.clone().normalize());
  mesh.position.copy(bone).multiplyScalar(0.5);
  mesh.visible = false;
  node.add(mesh);
  scene.add(node);
  nodes.set(spec.part, { spec, node, mesh, length, colour: COLOURS[side], attach: new THREE.Vector3(...spec.attach) });
}

function geometryOf(spec) {
  const length = Math.hypot(...spec.bone);
  if (spec.shape === "ball") return new THREE.SphereGeometry(spec.size, 16, 12);
  if (spec.shape === "box") return new THREE.BoxGeometry(spec.size * 2.4, length, spec.size * 1.2);
  return new THREE.CylinderGeometry(spec.size, spec.size * 0.85, length, 12);
}

let latest = null;
let updates = 0;
let rendered = 0;
let firstPoseDrawnMs = null;
const lags = [];  // milliseconds from the server's sending to the page's receiving
const LAGS_KEPT = 1000;

// A tracker's orientation is absolute: each segment takes its own, and sits where its parent's
// bone puts its joint. Unpaired parts follow their parent, so the figure stays whole.
function pose(trackers) {
  for (const { spec, node, attach } of nodes.values()) {
    const parent = spec.parent && nodes.get(spec.parent).node;
    const state = trackers[spec.part];
    if (state) {
      const [w, x, y, z] = state.rot;
      node.quaternion.set(x, y, z, w).normalize();
    } else if (parent) {
      node.quaternion.copy(parent.quaternion);
    }
    if (parent) {
      node.position.copy(attach).applyQuaternion(parent.quaternion).add(parent.position);
    } else {
      node.position.copy(attach);
    }
  }
}

// A calibrated body: the server's solver placed every joint and turned every segment; each
// segment is drawn from its joint to its far end, turned as its rotation says.
const UP = new THREE.Vector3(0, 1, 0);
const solvedRotation = new THREE.Quaternion();
const solvedBone = new THREE.Vector3();

function solvedPose(segments) {
  for (const [part, segment] of Object.entries(segments)) {
    const entry = nodes.get(part);
    if (!entry) continue;
    const [w, x, y, z] = segment.rotation;
    solvedRotation.set(x, y, z, w).normalize();
    entry.node.position.set(...segment.position);
    entry.node.quaternion.copy(solvedRotation);
    // The segment in its own frame: the same for every pose of one calibrated body.
    solvedBone.set(...segment.end).sub(entry.node.position).applyQuaternion(solvedRotation.conjugate());
    const length = solvedBone.length();
    if (length < 1e-6) continue;
    entry.mesh.scale.set(1, length / entry.length, 1);
    entry.mesh.position.copy(solvedBone).multiplyScalar(0.5);
    entry.mesh.quaternion.setFromUnitVectors(UP, solvedBone.normalize());
  }
}

function frame() {
  if (latest && latest.pose) solvedPose(latest.pose);
  else if (latest) pose(latest.trackers);
  controls.update();
  renderer.render(scene, camera);
  rendered += 1;
  if (latest && firstPoseDrawnMs === null) firstPoseDrawnMs = performance.now();
  requestAnimationFrame(frame);
}
requestAnimationFrame(frame);

// ---- The table, the events and the record button ----

const tableBody = document.querySelector("#trackers tbody");
const rows = new Map();
let tableShown = 0;

function buildTable(parts) {
  tableBody.replaceChildren();
  rows.clear();
  for (const part of parts) {
    const row = tableBody.insertRow();
    row.dataset.part = part;
    for (let i = 0; i < 4; i += 1) row.insertCell();
    row.cells[0].textContent = part;
    rows.set(part, row);
    const entry = nodes.get(part);
    if (entry) entry.mesh.visible = true;
  }
}

function showLinks(snapshot) {
  for (const [part, row] of rows) {
    const state = snapshot.trackers[part];
    const lost = snapshot.lost.includes(part);
    row.classList.toggle("lost", lost);
    row.cells[3].textContent = lost ? "lost" : "ok";
    const entry = nodes.get(part);
    if (entry) {
      entry.mesh.material.color.setHex(lost ? COLOURS.lost : entry.colour);
      entry.mesh.material.opacity = lost ? 0.45 : 1;
    }
    row.cells[1].textContent = state ? state.fps.toFixed(0) : "0";
    row.cells[2].textContent = state ? String(state.accuracy) : "–";
  }
}

function showEvents(events) {
  const list = document.getElementById("events");
  list.replaceChildren(...events.slice().reverse().map((event) => {
    const item = document.createElement("li");
    item.textContent = `${event.time} ${event.text}`;
    return item;
  }));
}

const recordButton = document.getElementById("record");
const recordingText = document.getElementById("recording");
let recordPending = false;  // a press not yet answered: the next one waits for it

function showRecording(recording) {
  recordButton.disabled = recordPending;
  recordButton.textContent = recording.active ? "Stop recording" : "Record";
  recordButton.classList.toggle("active", recording.active);
  if (recording.error) {
    recordingText.textContent = `Cannot record: ${recording.error}`;
  } else if (recording.active) {
    recordingText.textContent = `Recording to ${recording.path}: ${recording.frames} frames`;
  } else if (recording.path) {
    recordingText.textContent = `Saved ${recording.frames} frames to ${recording.path}`;
  } else {
    recordingText.textContent = "";
  }
}

recordButton.addEventListener("click", async () => {
  recordPending = true;
  recordButton.disabled = true;
  try {
    // The header keeps other sites' pages from posting here: browsers send it only with a
    // preflight, which this server never grants.
    const answer = await fetch("record", { method: "POST", headers: { "X-Pysorvel": "record" } });
    recordPending = false;
    showRecording(await answer.json());
  } catch (error) {
    recordPending = false;
    recordingText.textContent = `Cannot reach the view: ${error}`;
    recordButton.disabled = false;
  }
});

// ---- Calibration ----

const calibrateButton = document.getElementById("calibrate");
const skiBox = document.getElementById("ski");
const resetHeadingButton = document.getElementById("reset-heading");
const stepText = document.getElementById("calibration-step");
const calibrationText = document.getElementById("calibration-status");
let calibrationPending = false;  // a press not yet answered
let calibrationRefused = "";

function showCalibration(calibration) {
  const busy = calibrationPending || Boolean(calibration.step);
  calibrateButton.disabled = busy;
  resetHeadingButton.disabled = busy || !calibration.calibrated;
  if (!calibration.step) {
    stepText.textContent = "";
  } else if (calibration.countdown_s > 0) {
    stepText.textContent = `${calibration.step} in ${Math.ceil(calibration.countdown_s)}…`;
  } else {
    stepText.textContent = `${calibration.step}: hold still`;
  }
  const problem = calibration.error ? `Calibration failed: ${calibration.error}` : calibrationRefused;
  calibrationText.textContent = problem || calibration.message;
  calibrationText.classList.toggle("error", Boolean(problem));
}

async function press(button, path) {
  calibrationPending = true;
  calibrationRefused = "";
  calibrateButton.disabled = resetHeadingButton.disabled = true;
  try {
    const answer = await fetch(path, { method: "POST", headers: { "X-Pysorvel": button } });
    const state = await answer.json();
    calibrationRefused = state.refused ? `Not now: ${state.refused}` : "";
    calibrationPending = false;
    showCalibration(state);
  } catch (error) {
    calibrationPending = false;
    calibrationRefused = `Cannot reach the view: ${error}`;
    calibrationText.textContent = calibrationRefused;
  }
}

calibrateButton.addEventListener("click", () => press("calibrate", `calibrate?ski=${skiBox.checked ? 1 : 0}`));
resetHeadingButton.addEventListener("click", () => press("reset-heading", "reset-heading"));

const sourceText = document.getElementById("source");
const poses = new EventSource("poses");
poses.onmessage = (message) => {
  const snapshot = JSON.parse(message.data);
  latest = snapshot;
  updates += 1;
  lags.push(Date.now() - snapshot.sent);
  if (lags.length > LAGS_KEPT) lags.shift();
  if (rows.size !== snapshot.parts.length) buildTable(snapshot.parts);
  sourceText.textContent = snapshot.error || snapshot.source;
  sourceText.classList.toggle("error", Boolean(snapshot.error));
  const now = performance.now();
  // Lost links show at once; numbers ten times a second are all a reader can follow.
  if (now - tableShown >= TABLE_INTERVAL_MS || snapshot.lost.length) {
    tableShown = now;
    showLinks(snapshot);
    showEvents(snapshot.events);
    showRecording(snapshot.recording);
    showCalibration(snapshot.calibration);
  }
};
poses.onerror = () => {
  if (poses.readyState !== EventSource.OPEN) {
    sourceText.textContent = "The view has stopped.";
    sourceText.classList.add("error");
    recordButton.disabled = calibrateButton.disabled = resetHeadingButton.disabled = true;
  }
};

// For tests, benchmarks and the console: what the page holds and how it keeps up.
window.sorvelView = {
  segments: () => [...nodes.values()].filter((n) => n.mesh.visible).map((n) => n.spec.part),
  // Each drawn segment's direction from its joint, as the figure shows it: unit vectors in the
  // scene's frame (the body frame once calibrated).
  directions: () => Object.fromEntries([...nodes.values()].filter((n) => n.mesh.visible).map((n) => {
    n.mesh.updateWorldMatrix(true, false);
    const turn = n.mesh.getWorldQuaternion(new THREE.Quaternion());
    return [n.spec.part, UP.clone().applyQuaternion(turn).toArray()];
  })),
  calibrated: () => Boolean(latest && latest.pose),
  lost: () => (latest ? latest.lost : []),
  updates: () => updates,
  rendered: () => rendered,
  firstPoseDrawnMs: () => firstPoseDrawnMs,
  lags: () => lags.slice(),
};
