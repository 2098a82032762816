// Orvane's management page: wires the parts together and makes sure that no failure goes
// unseen.
import { reportError } from './ui.js';
import { startPackages } from './packages.js';
import { startInstall } from './install.js';
import { startDetail } from './detail.js';
import { startSystem } from './system.js';

window.addEventListener('error', (event) => reportError('Page', event.error || event.message));
window.addEventListener('unhandledrejection', (event) => reportError('Page', event.reason));

startInstall();
startDetail();
startSystem();
startPackages();
